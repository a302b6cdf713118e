// Window titles for the tests, written independently of the component's record code:
// base64(name + zero byte) ":" base64(value + zero byte) ";" per field, then "length".
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reader_test {

inline std::string base64(std::string_view bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned group = 0;
    for (auto k = i; k < i + 3; ++k) group = group << 8 | static_cast<unsigned char>(k < bytes.size() ? bytes[k] : 0);
    const std::size_t characters = bytes.size() - i < 3 ? bytes.size() - i + 1 : 4;
    for (std::size_t k = 0; k < 4; ++k) text += k < characters ? alphabet[group >> (18 - 6 * k) & 0x3F] : '=';
  }
  return text;
}

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
