// Every heap request of the program, through the three ways it reaches the
// heap: pfc::reallocate (defined here in place of support/heap.cpp) and the
// replaced operator new, throwing and nothrow. Counts requests while counting
// is on, can refuse the k-th, and keeps a live-block count at all times.
#pragma once

#include <cstddef>

namespace counting_allocator {

enum path { reallocate_path, new_path, nothrow_new_path, path_count };

struct tally {
  std::size_t requests[path_count] = {};
  std::size_t total() const { return requests[0] + requests[1] + requests[2]; }
};

// Counts from now on; the `fail_at`-th request (1 = the next) is refused the
// way its path refuses: pfc::bad_allocation, std::bad_alloc or null. 0 only counts.
void start_counting(std::size_t fail_at);
tally stop_counting();
// Whether the armed request came, and by which path.
bool failure_fired();
path failed_path();
// Blocks handed out on any path and not yet freed.
std::size_t live_blocks();

}  // namespace counting_allocator
