// Strings against failing_heap's reallocate: what reaches the heap, and what
// a refused request leaves behind.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>

#include "support/strings.h"
#include "tests/support/failing_heap.h"

namespace {

using pfc::infinite_size;
const std::string hundred = std::string(10, '.') + std::string(90, 'x');

template <class String>
auto state_of(const String& s) {
  return std::tuple(std::string(s.text_pointer()), s.text_length(), s.storage_size(), s.allocated_size(),
                    static_cast<const void*>(s.text_pointer()));
}

// Runs `operation` with its `refused`-th heap request failing (0: none fails);
// either way it must raise "bad allocation".
template <class Operation>
void expect_bad_alloc(std::size_t refused, Operation operation) {
  failing_heap::fail_request(refused);
  try {
    operation();
    ADD_FAILURE() << "no allocation failure";
  } catch (const std::bad_alloc& e) {
    EXPECT_STREQ(e.what(), "bad allocation");
  }
  failing_heap::fail_request(0);
}

class HeapTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failing_heap::fail_request(0);
    EXPECT_EQ(failing_heap::live_blocks(), live_before_) << "leaked blocks";
  }
  std::size_t live_before_ = failing_heap::live_blocks();
};

template <class Policy>
class FailedGrowth : public HeapTest {};
using policies = ::testing::Types<pfc::alloc_standard, pfc::alloc_fast_aggressive>;
TYPED_TEST_SUITE(FailedGrowth, policies);

TYPED_TEST(FailedGrowth, LeavesTextLengthAndBlockIntact) {
  pfc::string8_t<TypeParam> s;
  expect_bad_alloc(1, [&] { s.set_text("abc", infinite_size); });
  EXPECT_EQ(state_of(s), std::tuple("", 0u, 0u, 0u, pfc::empty_text()));

  s.set_text("hello", infinite_size);
  const auto before = state_of(s);
  expect_bad_alloc(1, [&] { s.append_text(hundred.c_str(), infinite_size); });
  expect_bad_alloc(1, [&] { s.set_text(hundred.c_str(), infinite_size); });
  expect_bad_alloc(1, [&] { s.open_buffer(200); });
  EXPECT_EQ(state_of(s), before);
}

TYPED_TEST(FailedGrowth, SelfAppendReleasesItsCopy) {
  pfc::string8_t<TypeParam> s;
  s.set_text(hundred.c_str(), 20);
  const auto before = state_of(s);
  expect_bad_alloc(1, [&] { s.append_text(s.text_pointer(), infinite_size); });  // the copy
  EXPECT_EQ(failing_heap::live_blocks(), this->live_before_ + 1);
  expect_bad_alloc(2, [&] { s.append_text(s.text_pointer(), infinite_size); });  // the growth
  EXPECT_EQ(failing_heap::live_blocks(), this->live_before_ + 1);
  EXPECT_EQ(state_of(s), before);
  s.append_text(s.text_pointer(), infinite_size);
  EXPECT_EQ(s.text_pointer(), hundred.substr(0, 20) + hundred.substr(0, 20));
}

TEST_F(HeapTest, ReplacesTheLibraryReallocate) {
  const std::size_t calls = failing_heap::calls();
  {
    pfc::string8 s;
    s.set_text("a", infinite_size);
    EXPECT_EQ(failing_heap::calls(), calls + 1);
    EXPECT_EQ(failing_heap::live_blocks(), live_before_ + 1);
  }
  EXPECT_EQ(failing_heap::calls(), calls + 2);
}

TEST_F(HeapTest, FailedShrinkKeepsTheTextAndLowersOnlyTheStorageSize) {
  pfc::string8 s;
  s.set_text(hundred.c_str(), infinite_size);
  const void* block = s.text_pointer();
  expect_bad_alloc(1, [&] { s.set_text("abc", infinite_size); });
  EXPECT_EQ(state_of(s), std::tuple(hundred, 100u, 4u, 117u, block));
  s.append_text("!", infinite_size);
  EXPECT_EQ(s.text_pointer(), hundred + "!");
  EXPECT_EQ(s.storage_size(), 118u);
  block = s.text_pointer();

  // shorten cuts first, then gives memory back.
  expect_bad_alloc(1, [&] { s.shorten(10); });
  EXPECT_EQ(state_of(s), std::tuple(hundred.substr(0, 10), 10u, 11u, 118u, block));
}

TEST_F(HeapTest, TouchesTheHeapOnlyWhenTheAllocatedSizeChanges) {
  auto calls_during = [](auto operation) {
    const std::size_t before = failing_heap::calls();
    operation();
    return failing_heap::calls() - before;
  };
  EXPECT_EQ(calls_during([] { pfc::string8 never_used; }), 0u);

  pfc::string8 standard;
  EXPECT_EQ(calls_during([&] { standard.set_text("abc", infinite_size); }), 1u);
  EXPECT_EQ(calls_during([&] {
              for (std::size_t n = 0; n < 20; ++n) standard.set_text(hundred.c_str(), n);
              standard.shorten(2);
            }),
            0u);

  pfc::string8_fast fast;
  EXPECT_EQ(calls_during([&] {
              for (int n = 0; n < 8; ++n) fast.append_text("x", infinite_size);  // 2, 4, 8, 16
              fast.shorten(1);
              fast.set_text("abc", infinite_size);
            }),
            4u);

  text_buffer buffer;
  EXPECT_EQ(calls_during([&] { buffer.assign_text("abc"); }), 1u);
  EXPECT_EQ(calls_during([&] { buffer.assign_text("xyz"); }), 0u);
  EXPECT_EQ(calls_during([&] { buffer.assign_text("ab"); }), 1u);
  EXPECT_EQ(calls_during([] { text_buffer never_assigned; }), 0u);
}

TEST_F(HeapTest, LargestRequestsReachTheHeapExactly) {
  constexpr std::size_t half_word = std::size_t{1} << (sizeof(std::size_t) * CHAR_BIT - 1);
  pfc::string8_fast fast;
  pfc::string8 standard;
  const std::size_t calls = failing_heap::calls();
  expect_bad_alloc(1, [&] { fast.open_buffer(half_word - 1); });
  EXPECT_EQ(failing_heap::last_request(), half_word);
  expect_bad_alloc(1, [&] { standard.open_buffer(infinite_size - 17); });
  EXPECT_EQ(failing_heap::last_request(), infinite_size);
  EXPECT_EQ(failing_heap::calls(), calls + 2);
  // One byte more does not fit in a word: refused before the heap.
  expect_bad_alloc(0, [&] { fast.open_buffer(half_word); });
  expect_bad_alloc(0, [&] { standard.open_buffer(infinite_size - 16); });
  EXPECT_EQ(failing_heap::calls(), calls + 2);
}

TEST_F(HeapTest, TextBufferKeepsItsTextWhenResizingFails) {
  text_buffer buffer;
  expect_bad_alloc(1, [&] { buffer.assign_text("hello"); });
  EXPECT_EQ(buffer.text(), pfc::empty_text());
  buffer.assign_text("hello");
  expect_bad_alloc(1, [&] { buffer.assign_text("a longer text"); });
  expect_bad_alloc(1, [&] { buffer.assign_text("hi"); });
  expect_bad_alloc(1, [&] { buffer.assign_text(buffer.text() + 1); });
  EXPECT_STREQ(buffer.text(), "hello");
  EXPECT_EQ(buffer.storage_size(), 6u);
  EXPECT_EQ(buffer.allocated_size(), 6u);
}

}  // namespace
