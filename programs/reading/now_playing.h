// What the player publishes, as every reading program holds it: the value
// that the decoder and the state lines produce and the output code prints.
// Plain values that own all their text; nothing here can fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reading {

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

// How every output reads a tag: the first tag named `name`, in any ASCII
// letter case, and only when its value is not empty; a later tag of the same
// name never stands in for it. Nothing otherwise. Points into `state`.
const std::string* first_tag(const now_playing& state, std::string_view name);

// The length in whole seconds when it is known: from 1 up to the 64-bit
// range. Nothing for 0 (a stream), a negative length or one beyond.
std::optional<std::int64_t> known_length(const now_playing& state);

}  // namespace reading
