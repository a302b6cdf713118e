// The error types of the component, defined from the list in error_tree.h.
// Each says a static, read-only text: copies share it and nothing is ever
// formatted or allocated. The base chains are part of the host boundary: a
// host catches by these types.
#pragma once

#include <exception>
#include <new>

#include "support/error_tree.h"

namespace pfc {

// std::bad_alloc that reports the component's own text. The runtime's
// operator new may still raise a plain std::bad_alloc; callers catch by the base.
class bad_allocation : public std::bad_alloc {
 public:
  static constexpr char message[] = "bad allocation";
  const char* what() const noexcept override { return message; }
};

// Heap exhaustion or a size that cannot be represented.
[[noreturn]] void raise_bad_alloc();

}  // namespace pfc

#define VEK_STANDARD_ERROR(id, type, parent, raised_as, message)
#define VEK_OWN_ERROR(id, parent, message, name, ...)                \
  __VA_OPT__(namespace __VA_ARGS__ {)                                   \
  class name : public parent {                                       \
     public:                                                         \
      const char* what() const noexcept override { return message; } \
    };                                                               \
  __VA_OPT__(                                                        \
  })
VEK_ERROR_TREE(VEK_STANDARD_ERROR, VEK_OWN_ERROR)
#undef VEK_STANDARD_ERROR
#undef VEK_OWN_ERROR
