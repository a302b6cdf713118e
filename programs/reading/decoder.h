// Decoding of the title of the player's message-only window, in the format of
// wire/format.h: empty (nothing published yet), the stop text, or a record
// whose final entry holds the track length. Decoding is strict: anything else is a decode_error that says what
// is wrong and at which byte, never a guess.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace reader {

// `absent` is the reader's own state for "no window" (player not running);
// decoding a title never yields it.
enum class player_state { absent, none, stopped, playing };

struct now_playing {
  player_state state = player_state::none;
  // Only while playing: the metadata fields in published order, as raw bytes
  // (the player's UTF-8, not checked here), and the length exactly as
  // published: an optional "-" and decimal digits without leading zeros, at
  // most 254 characters. The length stays text so that no value is rounded;
  // output code turns it into a number.
  std::vector<std::pair<std::string, std::string>> fields;
  std::string length;
};

struct decode_error {
  std::size_t offset;  // byte offset in the title where the fault was found
  std::size_t entry;   // 1-based number of the entry holding the fault
  const char* what;    // static text, e.g. "invalid base64 character in the name"
};

using decode_result = std::variant<now_playing, decode_error>;

decode_result decode_title(std::string_view title);

// One line such as "entry 2, byte 17: missing ';' after the value".
std::string describe(const decode_error& error);

}  // namespace reader
