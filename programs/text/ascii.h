// Letter case of ASCII letters only: names in tags, addresses and files are
// compared this way whatever the locale, and bytes beyond ASCII stay as they are.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace text {

constexpr char to_lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string to_lower_ascii(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return to_lower_ascii(c); });
  return lower;
}

constexpr bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return to_lower_ascii(x) == to_lower_ascii(y); });
}

}  // namespace text
