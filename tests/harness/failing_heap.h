// A pfc::reallocate for test programs that link failing_heap.cpp in place of
// the library's: counts calls and live blocks, and can refuse one request.
#pragma once

#include <cstddef>

namespace failing_heap {
std::size_t calls();        // every call so far, freeing ones included
std::size_t live_blocks();  // blocks handed out and not yet freed
// The n-th request for bytes from now on (1 = the next) raises std::bad_alloc
// without reaching the heap; 0 disarms.
void fail_request(std::size_t n);
}  // namespace failing_heap
