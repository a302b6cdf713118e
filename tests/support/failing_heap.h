// A pfc::reallocate for test programs: passes through to the C heap, counts
// the calls and live blocks, and refuses one chosen request. Linking
// failing_heap.cpp replaces the library's reallocate in that program only.
#pragma once

#include <cstddef>

namespace failing_heap {

// Calls of pfc::reallocate so far, freeing ones included.
std::size_t calls();
// Blocks handed out and not yet freed.
std::size_t live_blocks();
// Byte count of the most recent request, refused or not.
std::size_t last_request();
// The n-th request for bytes from now on (1 = the next) fails with
// std::bad_alloc without reaching the heap. 0 disarms.
void fail_request(std::size_t n);

}  // namespace failing_heap
