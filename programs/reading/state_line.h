// The reader's JSON lines, read back: the stable interface between the reader
// (which runs under Wine) and the programs on the Linux side.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "reading/now_playing.h"

namespace reading {

struct malformed_line {
  std::string reason;  // e.g. "\"fields\" holds something other than [name, value] texts"
};

// One line as json_line prints it, without its line break (a trailing CR is
// ignored, for lines written on Windows). Members the reader does not write
// are ignored; a line that is not JSON, or whose "state", "fields" or
// "length" do not have the reader's form, is malformed and says why (in
// ASCII, a bad state name shortened). A well-formed line's names and values
// are well-formed UTF-8, and its length is the JSON number's text. Throws
// only std::bad_alloc.
std::variant<now_playing, malformed_line> parse_state_line(std::string_view line);

}  // namespace reading
