// operator new and delete through failing_heap's count and refusal. They sit
// on malloc and free: AddressSanitizer, which replaces operator new too, still
// sees every block, pairs it with its release and reports those never freed.
// Every form a program calls is replaced together, so no block crosses
// between these and the sanitizer's.
#include <cstdlib>
#include <new>

#include "harness/failing_heap.h"

namespace {

void* take(std::size_t size, failing_heap::path via) {
  if (!failing_heap::admit(via)) return nullptr;
  void* block = std::malloc(size != 0 ? size : 1);
  if (block) failing_heap::block_taken();
  return block;
}

void give_back(void* block) {
  if (!block) return;
  failing_heap::block_given_back();
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = take(size, failing_heap::new_path)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return take(size, failing_heap::nothrow_new_path);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }

void operator delete(void* block) noexcept { give_back(block); }
void operator delete[](void* block) noexcept { give_back(block); }
void operator delete(void* block, std::size_t) noexcept { give_back(block); }
void operator delete[](void* block, std::size_t) noexcept { give_back(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { give_back(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { give_back(block); }
