// Counting and failure injection for index nodes, the only objects the
// configuration code takes from the global nothrow operator new, which
// node_allocations.cpp replaces for the whole test program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace node_allocations {

inline std::size_t count = 0;               // allocations that succeeded
inline std::size_t limit = SIZE_MAX;        // once count reaches it, allocations fail
inline std::vector<void*>* sink = nullptr;  // when set (reserved ahead), gets every new block

inline void reset() {
  count = 0;
  limit = SIZE_MAX;
  sink = nullptr;
}

}  // namespace node_allocations
