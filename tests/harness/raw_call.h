// Calls into the component as the player does: an object's table, a slot index and thiscall,
// never the component's own declarations. Windows (i686) test code only.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/exception_bridge.h"

namespace raw {

inline void** table_of(const void* object) { return *static_cast<void** const*>(object); }

// GCC applies thiscall to a plain function pointer but warns it is meant for members.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
// The component raises its errors in the player's model; the same bridge it
// uses on the player's exceptions turns them back into its own error types here.
template <class R, class... A>
R call(void* object, unsigned slot, A... arguments) {
  using function = R(__attribute__((thiscall))*)(void*, A...);
  return platform::call_player(
      [&]() -> R { return reinterpret_cast<function>(table_of(object)[slot])(object, arguments...); });
}
#pragma GCC diagnostic pop

// Stack words of one call, pushed as a 32-bit caller pushes them.
struct words {
  std::vector<std::uint32_t> list;
  words& u32(std::uint32_t value) {
    list.push_back(value);
    return *this;
  }
  words& ptr(const void* value) { return u32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value))); }
  template <class T>  // float or double, bit for bit
  words& real(T value) {
    std::uint32_t bits[sizeof value / 4];
    std::memcpy(bits, &value, sizeof value);
    for (std::uint32_t bit : bits) u32(bit);
    return *this;
  }
};

// Calls slot `slot` with `arguments` on the stack and ECX = object; returns the bytes the callee
// left on (positive) or took off (negative) beyond the arguments: 0 for a correct thiscall.
std::int32_t stack_imbalance(void* object, unsigned slot, const words& arguments);

}  // namespace raw
