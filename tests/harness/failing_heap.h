// A pfc::reallocate for test programs that link failing_heap.cpp in place of
// the library's: counts calls and live blocks, and can refuse one request.
// A program that links counted_new.cpp too has operator new counted, and
// refused, the same way.
#pragma once

#include <cstddef>

namespace failing_heap {

std::size_t calls();        // every pfc::reallocate call so far, freeing ones included
std::size_t live_blocks();  // blocks handed out on any counted path and not yet freed
// The n-th request for bytes from now on (1 = the next) is refused, the way
// its path refuses (pfc::bad_allocation, std::bad_alloc or null), without
// reaching the heap; 0 disarms.
void fail_request(std::size_t n);

enum path { reallocate_path, new_path, nothrow_new_path, path_count };
struct tally {
  std::size_t requests[path_count] = {};
  std::size_t total() const { return requests[0] + requests[1] + requests[2]; }
};
// Requests by path from now on, until stop_counting(), which also disarms a
// refusal not yet made.
void start_counting();
tally stop_counting();
// Whether the armed refusal came since the last fail_request, and on which path.
bool failure_fired();
path failed_path();

// For the paths besides pfc::reallocate: false when this request is the one
// to refuse; then a block taken or given back.
bool admit(path via);
void block_taken();
void block_given_back();

}  // namespace failing_heap
