// What the player publishes, as every reading program holds it: the value
// that the decoder and the state lines produce and the output code prints.
// Plain values that own all their text; nothing here can fail.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reader {

// `absent` is the reader's own state for "no window" (player not running);
// decoding a title never yields it.
enum class player_state { absent, none, stopped, playing };

struct now_playing {
  player_state state = player_state::none;
  // Only while playing: the metadata fields in published order, as raw bytes
  // (the player's UTF-8, not checked by the decoder), and the length exactly
  // as published: an optional "-" and decimal digits without leading zeros,
  // at most 254 characters. The length stays text so that no value is
  // rounded; output code turns it into a number.
  std::vector<std::pair<std::string, std::string>> fields;
  std::string length;
};

// The state's name in the reader's JSON lines: "absent", "none", "stopped"
// or "playing". A static string.
std::string_view state_name(player_state state);

// The state of that exact name (letter case counts), or nothing.
std::optional<player_state> state_named(std::string_view name);

}  // namespace reader
