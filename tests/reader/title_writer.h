// Writes window titles for the tests, independently of the component's own
// record code: base64 of name + zero byte ":" base64 of value + zero byte ";"
// per field, then the "length" entry.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reader_test {

inline std::string base64(std::string_view bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned group = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += alphabet[group >> shift & 0x3F];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    text += alphabet[group >> 18 & 0x3F];
    text += alphabet[group >> 12 & 0x3F];
    text += rest == 2 ? alphabet[group >> 6 & 0x3F] : '=';
    text += '=';
  }
  return text;
}

// One entry; the zero byte that ends each piece is added here.
inline std::string title_entry(std::string_view name, std::string_view value) {
  return base64(std::string(name) + '\0') + ":" + base64(std::string(value) + '\0') + ";";
}

using field_list = std::vector<std::pair<std::string, std::string>>;

inline std::string record_title(const field_list& fields, std::string_view length) {
  std::string title;
  for (const auto& [name, value] : fields) title += title_entry(name, value);
  return title + title_entry("length", length);
}

}  // namespace reader_test
