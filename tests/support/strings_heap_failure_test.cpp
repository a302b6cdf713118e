// Strings on failing_heap's reallocate: a refused request raises "bad
// allocation", keeps text, length and block, and leaves no block behind.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/strings.h"
#include "tests/support/failing_heap.h"

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
    const auto state = [&s] {
      return std::tuple(std::string(s.text_pointer()), s.text_length(), s.storage_size(), s.allocated_size(),
                        static_cast<const void*>(s.text_pointer()));
    };
    const auto before = state();
    expect_refused(c.request, [&] { c.operation(s); });
    EXPECT_EQ(state(), before);
  }
}

TEST(FailedResize, TextBufferKeepsItsText) {
  text_buffer buffer;
  expect_refused(1, [&] { buffer.assign_text("hello"); });
  EXPECT_EQ(buffer.text(), pfc::empty_text());
  buffer.assign_text("hello");
  for (const char* text : {"a longer text", "hi", buffer.text() + 1}) {
    expect_refused(1, [&] { buffer.assign_text(text); });
    EXPECT_STREQ(buffer.text(), "hello");
    EXPECT_EQ(buffer.allocated_size(), 6u);
  }
}

TEST(HeapUse, OnlyWhenTheAllocatedSizeChanges) {
  const std::size_t calls = failing_heap::calls();
  pfc::string8 standard;
  standard.set_text("abc", infinite_size);
  for (std::size_t n = 0; n < 20; ++n) standard.set_text(hundred.c_str(), n);  // 20 bytes of storage
  pfc::string8_fast fast;
  for (int n = 0; n < 8; ++n) fast.append_text("x", infinite_size);  // 2, 4, 8, 16
  fast.set_text("abc", infinite_size);
  text_buffer buffer;
  buffer.assign_text("abc");
  buffer.assign_text("xyz");
  EXPECT_EQ(failing_heap::calls() - calls, 6u);
}

}  // namespace
