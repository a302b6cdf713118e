#include "reading/now_playing.h"

#include <array>

namespace reader {
namespace {

constexpr std::array<std::pair<player_state, std::string_view>, 4> names = {{
    {player_state::absent, "absent"},
    {player_state::none, "none"},
    {player_state::stopped, "stopped"},
    {player_state::playing, "playing"},
}};

}  // namespace

std::string_view state_name(player_state state) {
  for (const auto& [named, name] : names) {
    if (named == state) return name;
  }
  return "none";
}

std::optional<player_state> state_named(std::string_view name) {
  for (const auto& [state, state_name] : names) {
    if (state_name == name) return state;
  }
  return std::nullopt;
}

}  // namespace reader
