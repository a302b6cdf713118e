// The reader's JSON lines, read back: the stable interface between the reader
// (which runs under Wine) and the publisher (which runs on the Linux side).
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "reading/decoder.h"

namespace tune_publish {

struct malformed_line {
  std::string reason;  // e.g. "\"fields\" is not an array of [name, value] pairs"
};

// One line as the reader prints it, without its line break (a trailing CR is
// ignored, for lines written on Windows). Members the reader does not write
// are ignored; a line that is not JSON, or whose "state", "fields" or
// "length" do not have the reader's form, is malformed.
std::variant<reader::now_playing, malformed_line> parse_state_line(std::string_view line);

}  // namespace tune_publish
