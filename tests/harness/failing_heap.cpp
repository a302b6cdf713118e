#include "harness/failing_heap.h"

#include <cstdlib>

#include "support/strings.h"

namespace {
std::size_t call_count = 0, live_count = 0, requests_until_failure = 0;
}  // namespace

std::size_t failing_heap::calls() { return call_count; }
std::size_t failing_heap::live_blocks() { return live_count; }
void failing_heap::fail_request(std::size_t n) { requests_until_failure = n; }

void* pfc::reallocate(void* block, std::size_t count) {
  ++call_count;
  if (count == 0) {
    live_count -= block != nullptr;
    std::free(block);
    return nullptr;
  }
  if (requests_until_failure != 0 && --requests_until_failure == 0) pfc::raise_bad_alloc();
  void* resized = std::realloc(block, count);
  if (resized == nullptr) pfc::raise_bad_alloc();
  live_count += block == nullptr;
  return resized;
}
