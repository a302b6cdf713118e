#include "player/text.h"

#include <cstddef>

namespace player_text {

bool is_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t continuations;
    unsigned char low = 0x80, high = 0xBF;  // range of the byte after the lead
    if (lead < 0x80) {
      ++pos;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - pos <= continuations) return false;
    for (std::size_t i = 1; i <= continuations; ++i) {
      const auto next = static_cast<unsigned char>(text[pos + i]);
      if (next < low || next > high) return false;
      low = 0x80;
      high = 0xBF;
    }
    pos += continuations + 1;
  }
  return true;
}

namespace {
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace player_text
