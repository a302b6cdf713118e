// A refused heap request raises "bad allocation", keeps text, length and block, and leaks nothing.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/strings.h"
#include "harness/failing_heap.h"

namespace {

using pfc::infinite_size;
const std::string hundred(100, 'h');

template <class Operation>
void expect_refused(std::size_t request, Operation operation) {
  const std::size_t live = failing_heap::live_blocks();
  failing_heap::fail_request(request);
  try {
    operation();
    ADD_FAILURE() << "no allocation failure";
  } catch (const std::bad_alloc& e) {
    EXPECT_STREQ(e.what(), "bad allocation");
  }
  failing_heap::fail_request(0);
  EXPECT_EQ(failing_heap::live_blocks(), live);
}

template <class String>
auto state_of(const String& s) {
  return std::tuple(std::string(s.text_pointer()), s.text_length(), s.storage_size(), s.allocated_size(),
                    static_cast<const void*>(s.text_pointer()));
}

template <class Policy>
class FailedGrowth : public ::testing::Test {};
using policies = ::testing::Types<pfc::alloc_standard, pfc::alloc_fast_aggressive>;
TYPED_TEST_SUITE(FailedGrowth, policies);

TYPED_TEST(FailedGrowth, LeavesTheStringAsItWas) {
  using string = pfc::string8_t<TypeParam>;
  const struct {
    std::size_t held;     // length of the text before the operation
    std::size_t request;  // the heap request refused
    void (*operation)(string&);
  } cases[] = {
      {0, 1, [](string& s) { s.set_text("abc", infinite_size); }},
      {20, 1, [](string& s) { s.set_text(hundred.c_str(), infinite_size); }},
      {20, 1, [](string& s) { s.append_text(hundred.c_str(), infinite_size); }},
      {20, 1, [](string& s) { s.open_buffer(200); }},
      {20, 1, [](string& s) { s.append_text(s.text_pointer(), infinite_size); }},  // the copy
      {20, 2, [](string& s) { s.append_text(s.text_pointer(), infinite_size); }},  // the growth
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    string s;
    if (c.held != 0) s.set_text(hundred.c_str(), c.held);
    const auto before = state_of(s);
    expect_refused(c.request, [&] { c.operation(s); });
    EXPECT_EQ(state_of(s), before);
  }
}

TEST(FailedResize, TextBufferKeepsItsText) {
  text_buffer buffer;
  expect_refused(1, [&] { buffer.assign_text("hello"); });
  EXPECT_EQ(buffer.text(), pfc::empty_text());
  buffer.assign_text("hello");
  expect_refused(1, [&] { buffer.assign_text(buffer.text() + 1); });
  EXPECT_STREQ(buffer.text(), "hello");
}

}  // namespace
