// Reads a now-playing record back as the reading process does, strictly: any
// text that is not a well-formed record is rejected. For tests and tools.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace record_reader {

// Canonical RFC 4648 text (standard alphabet, '=' padding, unused bits zero).
inline std::optional<std::string> base64_decode(std::string_view text) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    std::uint32_t bits = 0;
    int padding = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = text[group + i];
      if (c == '=' && last && i >= 2) {
        ++padding;
        bits <<= 6;
        continue;
      }
      const std::size_t index = alphabet.find(c);
      if (index == std::string_view::npos || padding > 0) return std::nullopt;
      bits = bits << 6 | static_cast<std::uint32_t>(index);
    }
    if ((padding == 1 && (bits & 0xFF) != 0) || (padding == 2 && (bits & 0xFFFF) != 0)) return std::nullopt;
    for (int i = 0; i < 3 - padding; ++i) bytes.push_back(static_cast<char>(bits >> (16 - 8 * i)));
  }
  return bytes;
}

struct entry {
  std::string name;
  std::string value;
};

// A piece: the encoded text plus its one terminating zero byte.
inline std::optional<std::string> decode_piece(std::string_view piece) {
  std::optional<std::string> bytes = base64_decode(piece);
  if (!bytes || bytes->empty() || bytes->find('\0') != bytes->size() - 1) return std::nullopt;
  bytes->pop_back();
  return bytes;
}

// The entries in order, or nothing when `record` is not a well-formed record.
inline std::optional<std::vector<entry>> read_record(std::string_view record) {
  if (record.empty()) return std::nullopt;
  std::vector<entry> entries;
  while (!record.empty()) {
    const std::size_t end = record.find(';');
    const std::size_t colon = record.find(':');
    if (end == std::string_view::npos || colon > end) return std::nullopt;
    std::optional<std::string> name = decode_piece(record.substr(0, colon));
    std::optional<std::string> value = decode_piece(record.substr(colon + 1, end - colon - 1));
    if (!name || !value) return std::nullopt;
    entries.push_back({std::move(*name), std::move(*value)});
    record.remove_prefix(end + 1);
  }
  return entries;
}

}  // namespace record_reader
