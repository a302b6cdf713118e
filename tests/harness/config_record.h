// Configuration records as the player stores them, written byte by byte for
// the tests rather than by the component's code: the variable's GUID (its
// fields little-endian, in memory order), the data's length as 32 bits
// little-endian, then the data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/guid.h"

namespace config_record {

inline void append_little_endian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

// The head alone: a declared length need not match the data that follows.
inline std::string head(const guid& id, std::uint32_t declared_length) {
  std::string out;
  append_little_endian(out, id.data1, 4);
  append_little_endian(out, id.data2, 2);
  append_little_endian(out, id.data3, 2);
  for (std::uint8_t byte : id.data4) out += static_cast<char>(byte);
  append_little_endian(out, declared_length, 4);
  return out;
}

inline std::string encode(const guid& id, std::string_view data) {
  return head(id, static_cast<std::uint32_t>(data.size())) + std::string(data);
}

}  // namespace config_record
