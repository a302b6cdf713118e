#include "tests/host/node_allocations.h"

#include <new>

namespace {
std::size_t successes = 0;
std::size_t limit = SIZE_MAX;
std::vector<void*>* blocks = nullptr;
}  // namespace

namespace node_allocations {

std::size_t count() { return successes; }
void fail_after(std::size_t allowed) { limit = allowed; }
void record_into(std::vector<void*>* sink) { blocks = sink; }
void reset() {
  successes = 0;
  limit = SIZE_MAX;
  blocks = nullptr;
}

}  // namespace node_allocations

// The plain operator new stays the runtime's, so blocks from here are freed by
// the ordinary operator delete and the sanitizer sees matching pairs.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (successes >= limit) return nullptr;
  void* block;
  try {
    block = ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ++successes;
  if (blocks) blocks->push_back(block);
  return block;
}
