#include "harness/failing_heap.h"

#include <cstdlib>

#include "support/strings.h"

namespace {
std::size_t call_count = 0, live_count = 0, requests_until_failure = 0;
bool counting = false, fired = false;
failing_heap::path fired_path = failing_heap::reallocate_path;
failing_heap::tally counts;
}  // namespace

std::size_t failing_heap::calls() { return call_count; }
std::size_t failing_heap::live_blocks() { return live_count; }
void failing_heap::fail_request(std::size_t n) { requests_until_failure = n, fired = false; }

void failing_heap::start_counting() { counting = true, counts = {}; }
failing_heap::tally failing_heap::stop_counting() {
  counting = false, requests_until_failure = 0;
  return counts;
}
bool failing_heap::failure_fired() { return fired; }
failing_heap::path failing_heap::failed_path() { return fired_path; }

bool failing_heap::admit(path via) {
  if (counting) ++counts.requests[via];
  if (requests_until_failure == 0 || --requests_until_failure != 0) return true;
  fired = true, fired_path = via;
  return false;
}
void failing_heap::block_taken() { ++live_count; }
void failing_heap::block_given_back() { --live_count; }

void* pfc::reallocate(void* block, std::size_t count) {
  ++call_count;
  if (count == 0) {
    live_count -= block != nullptr;
    std::free(block);
    return nullptr;
  }
  if (!failing_heap::admit(failing_heap::reallocate_path)) pfc::raise_bad_alloc();
  void* resized = std::realloc(block, count);
  if (resized == nullptr) pfc::raise_bad_alloc();
  live_count += block == nullptr;
  return resized;
}
