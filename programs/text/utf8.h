// UTF-8 read one code point at a time, checked, and written. "Well-formed"
// is the Unicode standard's: no overlong forms, no surrogates, nothing past
// U+10FFFF, no cut sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

constexpr char32_t replacement_character = 0xFFFD;

struct code_point {
  char32_t value;    // U+FFFD for an ill-formed subsequence
  std::size_t size;  // bytes consumed, at least 1
};

// The code point starting at `pos`, which must be inside `text`. An
// ill-formed sequence is consumed up to the first byte that cannot continue
// it (its maximal subpart) and reads as one U+FFFD.
code_point next_code_point(std::string_view text, std::size_t pos);

// Appends `value`, which must be a Unicode scalar value, as UTF-8.
void append_utf8(std::string& out, char32_t value);

bool is_well_formed_utf8(std::string_view text);

// The text with each maximal ill-formed subsequence replaced by U+FFFD.
std::string repair_utf8(std::string_view text);

}  // namespace text
