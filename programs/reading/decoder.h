// Decoding of the title of the player's message-only window, in the format of
// wire/format.h: empty (nothing published yet), the stop text, or a record
// whose final entry holds the track length. Decoding is strict: anything else is a decode_error that says what
// is wrong and at which byte, never a guess.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "reading/now_playing.h"

namespace reading {

struct decode_error {
  std::size_t offset;  // byte offset in the title where the fault was found
  std::size_t entry;   // 1-based number of the entry holding the fault
  const char* what;    // static text, e.g. "invalid base64 character in the name"
};

using decode_result = std::variant<now_playing, decode_error>;

// Never throws but std::bad_alloc. The result owns its text; `title` may go
// once it returns.
decode_result decode_title(std::string_view title);

// One line such as "entry 2, byte 17: missing ';' after the value".
std::string describe(const decode_error& error);

}  // namespace reading
