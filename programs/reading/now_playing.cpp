#include "reading/now_playing.h"

#include <array>
#include <charconv>

#include "text/ascii.h"

namespace reading {
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

const std::string* first_tag(const now_playing& state, std::string_view name) {
  for (const auto& [field, value] : state.fields) {
    if (text::equals_ignoring_ascii_case(field, name)) return value.empty() ? nullptr : &value;
  }
  return nullptr;
}

std::optional<std::int64_t> known_length(const now_playing& state) {
  const std::string& text = state.length;
  std::int64_t seconds;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || seconds < 1) return std::nullopt;
  return seconds;
}

}  // namespace reading
