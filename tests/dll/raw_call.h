// Calls into the component the way the player does: through the first word of
// an object (its table) and a slot index, with the thiscall convention, never
// through the component's own class declarations. Windows (i686) test code only.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace raw {

inline void** table_of(const void* object) { return *static_cast<void** const*>(object); }

// GCC applies thiscall to a plain function pointer (the object goes in ECX)
// but warns that it is meant for member functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
template <class R, class... A>
R call(void* object, unsigned slot, A... arguments) {
  using function = R(__attribute__((thiscall)) *)(void*, A...);
  return reinterpret_cast<function>(table_of(object)[slot])(object, arguments...);
}
#pragma GCC diagnostic pop

// Stack words of one call, pushed as a 32-bit caller would push them.
class words {
 public:
  words& u32(std::uint32_t value) { list_.push_back(value); return *this; }
  words& ptr(const void* value) { return u32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value))); }
  words& f64(double value) {
    std::uint32_t halves[2];
    std::memcpy(halves, &value, sizeof halves);
    return u32(halves[0]).u32(halves[1]);
  }
  words& f32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return u32(bits);
  }
  const std::vector<std::uint32_t>& list() const { return list_; }

 private:
  std::vector<std::uint32_t> list_;
};

// Calls slot `slot` of `object` with `arguments` pushed on the stack and ECX =
// object, and returns how many bytes the callee left on (positive) or took
// off (negative) the stack beyond the arguments: 0 for a correct thiscall.
std::int32_t stack_imbalance(void* object, unsigned slot, const words& arguments);

}  // namespace raw
