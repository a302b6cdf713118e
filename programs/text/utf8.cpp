#include "text/utf8.h"

namespace text {

code_point next_code_point(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1};
  std::size_t continuations;
  char32_t value;
  unsigned char low = 0x80, high = 0xBF;  // range of the next byte; narrower after some leads
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return {replacement_character, 1};
  }
  std::size_t size = 1;
  for (; size <= continuations; ++size) {
    if (pos + size >= text.size()) return {replacement_character, size};
    const auto next = static_cast<unsigned char>(text[pos + size]);
    if (next < low || next > high) return {replacement_character, size};
    value = value << 6 | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {value, size};
}

void append_utf8(std::string& out, char32_t value) {
  if (value < 0x80) {
    out += static_cast<char>(value);
  } else if (value < 0x800) {
    out += static_cast<char>(0xC0 | value >> 6);
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    out += static_cast<char>(0xE0 | value >> 12);
    out += static_cast<char>(0x80 | (value >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | value >> 18);
    out += static_cast<char>(0x80 | (value >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (value >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  }
}

bool is_well_formed_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const code_point c = next_code_point(text, pos);
    // An ill-formed subsequence reads as U+FFFD too, but is not its encoding.
    if (c.value == replacement_character && text.substr(pos, c.size) != "\xEF\xBF\xBD") return false;
    pos += c.size;
  }
  return true;
}

std::string repair_utf8(std::string_view text) {
  std::string repaired;
  repaired.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const code_point c = next_code_point(text, pos);
    pos += c.size;
    append_utf8(repaired, c.value);
  }
  return repaired;
}

}  // namespace text
