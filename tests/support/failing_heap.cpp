#include "tests/support/failing_heap.h"

#include <cstdlib>

#include "support/errors.h"
#include "support/strings.h"

namespace {
std::size_t call_count = 0;
std::size_t live_count = 0;
std::size_t last_count = 0;
std::size_t requests_until_failure = 0;
}  // namespace

namespace failing_heap {

std::size_t calls() { return call_count; }
std::size_t live_blocks() { return live_count; }
std::size_t last_request() { return last_count; }
void fail_request(std::size_t n) { requests_until_failure = n; }

}  // namespace failing_heap

void* pfc::reallocate(void* block, std::size_t count) {
  ++call_count;
  last_count = count;
  if (count == 0) {
    if (block != nullptr) --live_count;
    std::free(block);
    return nullptr;
  }
  if (requests_until_failure != 0 && --requests_until_failure == 0) pfc::raise_bad_alloc();
  void* resized = std::realloc(block, count);
  if (resized == nullptr) pfc::raise_bad_alloc();
  if (block == nullptr) ++live_count;
  return resized;
}
