// Counting and failure injection for index nodes, which are the only objects
// the configuration code takes from the global nothrow operator new.
// node_allocations.cpp replaces that operator for the whole test program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace node_allocations {

// Allocations that succeeded since the last reset.
std::size_t count();
// Once `successes` allocations have succeeded, every further one fails.
void fail_after(std::size_t successes);
// Each new block is also appended to `sink` (reserved ahead of time), or to nothing.
void record_into(std::vector<void*>* sink);
// Counting only, from zero.
void reset();

}  // namespace node_allocations
