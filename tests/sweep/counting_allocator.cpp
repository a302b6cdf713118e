#include "counting_allocator.h"

#include <cstdlib>
#include <new>

#include "support/errors.h"
#include "support/strings.h"

// The replacements sit on malloc and free: AddressSanitizer, which replaces
// operator new too, still sees every block, pairs it with its release and
// reports those never freed. Every form a program calls is replaced together,
// so no block crosses between these and the sanitizer's.
namespace {

bool counting = false;
std::size_t seen = 0, fail_at = 0, live = 0;
bool fired = false;
counting_allocator::path fired_path = counting_allocator::reallocate_path;
counting_allocator::tally counts;

// False when this request is the one to refuse.
bool admit(counting_allocator::path via) {
  if (!counting) return true;
  ++counts.requests[via];
  if (++seen != fail_at) return true;
  fired = true;
  fired_path = via;
  return false;
}

void* take(std::size_t size, counting_allocator::path via) {
  if (!admit(via)) return nullptr;
  void* block = std::malloc(size != 0 ? size : 1);
  if (block) ++live;
  return block;
}

void give_back(void* block) {
  if (!block) return;
  --live;
  std::free(block);
}

}  // namespace

namespace counting_allocator {

void start_counting(std::size_t k) {
  counting = true;
  seen = 0;
  fail_at = k;
  fired = false;
  counts = {};
}

tally stop_counting() {
  counting = false;
  return counts;
}

bool failure_fired() { return fired; }
path failed_path() { return fired_path; }
std::size_t live_blocks() { return live; }

}  // namespace counting_allocator

void* pfc::reallocate(void* block, std::size_t count) {
  if (count == 0) {
    give_back(block);
    return nullptr;
  }
  if (!admit(counting_allocator::reallocate_path)) pfc::raise_bad_alloc();
  void* resized = std::realloc(block, count);
  if (!resized) pfc::raise_bad_alloc();
  if (!block) ++live;
  return resized;
}

void* operator new(std::size_t size) {
  if (void* block = take(size, counting_allocator::new_path)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return take(size, counting_allocator::nothrow_new_path);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }

void operator delete(void* block) noexcept { give_back(block); }
void operator delete[](void* block) noexcept { give_back(block); }
void operator delete(void* block, std::size_t) noexcept { give_back(block); }
void operator delete[](void* block, std::size_t) noexcept { give_back(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { give_back(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { give_back(block); }
