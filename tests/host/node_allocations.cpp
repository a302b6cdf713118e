#include "tests/host/node_allocations.h"

#include <new>

// The plain operator new stays the runtime's, so blocks from here are freed by
// the ordinary operator delete and the sanitizer sees matching pairs.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  using namespace node_allocations;
  if (count >= limit) return nullptr;
  void* block;
  try {
    block = ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ++count;
  if (sink) sink->push_back(block);
  return block;
}
