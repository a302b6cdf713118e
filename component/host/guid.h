// 16-byte identifier of a service class or configuration variable.
#pragma once

#include <cstdint>
#include <cstring>

struct guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];

  // Compared as 16 bytes in memory order (little-endian fields), which is
  // also the order of the configuration stream.
  friend bool operator==(const guid& a, const guid& b) noexcept { return std::memcmp(&a, &b, sizeof(guid)) == 0; }
};
static_assert(sizeof(guid) == 16);
