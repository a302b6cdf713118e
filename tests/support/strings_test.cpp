// Strings on the real heap (support/heap.cpp).
#include "support/strings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>

#if defined(__SANITIZE_ADDRESS__)
// A refused request must come back as null, as it does on Windows.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using pfc::infinite_size;
constexpr std::size_t half_word = std::size_t{1} << (sizeof(std::size_t) * CHAR_BIT - 1);
const std::string hundred = std::string(10, '.') + std::string(90, 'x');

template <class String>
auto state_of(const String& s) {
  return std::tuple(std::string(s.text_pointer()), s.text_length(), s.storage_size(), s.allocated_size(),
                    static_cast<const void*>(s.text_pointer()));
}

template <class Policy>
class Strings : public ::testing::Test {};
using policies = ::testing::Types<pfc::alloc_standard, pfc::alloc_fast_aggressive>;
TYPED_TEST_SUITE(Strings, policies);

TYPED_TEST(Strings, NewStringHasNoBlockAndTheSharedEmptyText) {
  pfc::string8_t<TypeParam> s;
  s.close_buffer();
  s.shorten(0);
  EXPECT_EQ(state_of(s), std::tuple("", 0u, 0u, 0u, pfc::empty_text()));
}

TYPED_TEST(Strings, LimitStopsAtCountOrZeroByteAndZeroReadsNothing) {
  pfc::string8_t<TypeParam> s;
  s.set_text("abcdef", 2);
  EXPECT_STREQ(s.text_pointer(), "ab");
  const char with_zero[] = {'a', 'b', 0, 'd', 'e'};
  s.set_text(with_zero, 5);
  s.append_text("xyz", 1);
  s.append_text(nullptr, 0);
  EXPECT_STREQ(s.text_pointer(), "abx");
  EXPECT_EQ(s.text_length(), 3u);
  s.set_text(nullptr, 0);
  EXPECT_EQ(s.text_pointer(), pfc::empty_text());
  EXPECT_NE(s.allocated_size(), 0u);
}

TYPED_TEST(Strings, WritesNoByteBeyondTextAndTerminator) {
  pfc::string8_t<TypeParam> s;
  std::memset(s.open_buffer(10), 'x', 10);
  s.close_buffer();
  s.set_text("ab", infinite_size);
  EXPECT_EQ(std::string(s.text_pointer(), 10), std::string("ab\0xxxxxxx", 10));
}

TYPED_TEST(Strings, SourceInsideOwnStorageSurvivesReallocation) {
  pfc::string8_t<TypeParam> s;
  std::string expected = "abcd";
  s.set_text(expected.c_str(), infinite_size);
  for (int round = 0; round < 5; ++round, expected += expected) s.append_text(s.text_pointer(), infinite_size);
  EXPECT_EQ(s.text_pointer(), expected);
  s.append_text(s.text_pointer() + 1, 3);
  EXPECT_EQ(s.text_pointer(), expected + "bcd");

  s.set_text(hundred.c_str(), infinite_size);
  s.set_text(s.text_pointer() + 8, 4);
  EXPECT_STREQ(s.text_pointer(), "..xx");
  s.set_text(s.text_pointer() + 1, infinite_size);
  EXPECT_STREQ(s.text_pointer(), ".xx");
}

TYPED_TEST(Strings, ShortenCutsOnlyBelowTheLength) {
  pfc::string8_t<TypeParam> s;
  s.set_text("hello", infinite_size);
  const auto before = state_of(s);
  s.shorten(5);
  s.shorten(9);
  EXPECT_EQ(state_of(s), before);
  s.shorten(2);
  EXPECT_STREQ(s.text_pointer(), "he");
  s.shorten(0);
  EXPECT_EQ(s.text_pointer(), pfc::empty_text());
  EXPECT_EQ(s.text_length(), 0u);
}

TYPED_TEST(Strings, OpenBufferZeroFillsAndCloseTakesTextToFirstZero) {
  pfc::string8_t<TypeParam> s;
  s.set_text("hello world", infinite_size);
  char* buffer = s.open_buffer(5);
  EXPECT_EQ(s.text_length(), 11u);
  ASSERT_GE(s.storage_size(), 6u);
  EXPECT_EQ(std::string(buffer, s.storage_size()), std::string(s.storage_size(), '\0'));
  std::memcpy(buffer, "hi", 2);
  s.close_buffer();
  EXPECT_STREQ(s.text_pointer(), "hi");
  EXPECT_EQ(s.text_length(), 2u);

  // A caller that fills every byte still ends with a terminated text inside the block.
  buffer = s.open_buffer(3);
  const std::size_t filled = s.storage_size();
  std::memset(buffer, 'z', filled);
  s.close_buffer();
  EXPECT_EQ(s.text_pointer(), std::string(filled, 'z'));
}

TYPED_TEST(Strings, ImpossibleSizesRaiseBeforeAnyChange) {
  pfc::string8_t<TypeParam> s;
  s.set_text("abc", infinite_size);
  const auto before = state_of(s);
  try {
    s.open_buffer(infinite_size);
    ADD_FAILURE();
  } catch (const pfc::exception_overflow& e) {
    EXPECT_STREQ(e.what(), "Overflow");
  }
  // Required sizes whose growth (slack or doubling) does not fit in a word.
  for (std::size_t length : {infinite_size - 1, infinite_size - 16}) {
    try {
      s.open_buffer(length);
      ADD_FAILURE() << length;
    } catch (const std::bad_alloc& e) {
      EXPECT_STREQ(e.what(), "bad allocation");
    }
  }
  EXPECT_EQ(state_of(s), before);
}

TEST(StandardString, StorageFollowsTheSlackRule) {
  auto sizes = [](pfc::string8& s, const std::string& text) {
    s.set_text(text.c_str(), infinite_size);
    EXPECT_EQ(s.storage_size(), s.allocated_size());
    return s.storage_size();
  };
  pfc::string8 s, tolerant, empty;
  EXPECT_EQ(sizes(empty, ""), 17u);
  EXPECT_EQ(sizes(tolerant, std::string(19, 'a')), 36u);
  EXPECT_EQ(sizes(tolerant, "abc"), 36u);  // 32 spare bytes are kept
  EXPECT_EQ(sizes(s, "abc"), 20u);
  EXPECT_EQ(sizes(s, std::string(19, 'a')), 20u);
  EXPECT_EQ(sizes(s, std::string(20, 'a')), 37u);
  EXPECT_EQ(sizes(s, "abc"), 4u);
  s.append_text("d", infinite_size);
  EXPECT_EQ(s.storage_size(), 21u);

  EXPECT_EQ(sizes(s, hundred), 117u);
  s.shorten(40);  // 77 spare bytes: given back
  EXPECT_EQ(s.storage_size(), 41u);
  s.shorten(20);
  EXPECT_EQ(s.storage_size(), 41u);
  s.open_buffer(100);
  EXPECT_EQ(s.storage_size(), 117u);
  s.close_buffer();
  EXPECT_EQ(s.storage_size(), 1u);
}

TEST(FastAggressiveString, AllocatesPowersOfTwoThatNeverShrink) {
  pfc::string8_fast s;
  s.append_text("", infinite_size);
  EXPECT_EQ(state_of(s), std::tuple("", 0u, 1u, 1u, pfc::empty_text()));
  const char* block = nullptr;
  std::size_t allocated = 0;
  for (std::size_t expected : {2u, 4u, 4u, 8u, 8u, 8u, 8u, 16u}) {
    s.append_text("x", infinite_size);
    EXPECT_EQ(s.allocated_size(), expected);
    EXPECT_EQ(s.storage_size(), s.text_length() + 1);
    if (expected == allocated) {
      EXPECT_EQ(s.text_pointer(), block);  // no move while it fits
    }
    block = s.text_pointer();
    allocated = expected;
  }
  s.shorten(1);
  s.set_text("", infinite_size);
  EXPECT_EQ(s.storage_size(), 1u);
  EXPECT_EQ(s.allocated_size(), 16u);
  s.open_buffer(100);
  EXPECT_EQ(s.allocated_size(), 128u);
  EXPECT_EQ(s.storage_size(), 101u);
  // A requirement above half the word cannot be reached by doubling.
  EXPECT_THROW(s.open_buffer(half_word), std::bad_alloc);
  EXPECT_EQ(s.allocated_size(), 128u);
}

TEST(FastAggressiveString, ThirtyTwoBitRuleStopsAtTheWord) {
  EXPECT_EQ(pfc::doubled_capacity<std::uint32_t>(0, 0x80000000u), 0x80000000u);
  EXPECT_EQ(pfc::doubled_capacity<std::uint32_t>(16, 3), 16u);
  EXPECT_EQ(pfc::doubled_capacity<std::uint32_t>(4, 9), 16u);
  EXPECT_THROW(pfc::doubled_capacity<std::uint32_t>(1, 0x80000001u), std::bad_alloc);
}

TEST(TextBuffer, HoldsExactlyItsTextAndZero) {
  text_buffer buffer;
  EXPECT_EQ(buffer.text(), pfc::empty_text());
  EXPECT_EQ(buffer.storage_size(), 0u);
  for (const char* text : {"", "hello", "hi", "a longer text"}) {
    buffer.assign_text(text);
    EXPECT_STREQ(buffer.text(), text);
    EXPECT_NE(buffer.text(), pfc::empty_text());
    EXPECT_EQ(buffer.storage_size(), std::strlen(text) + 1);
    EXPECT_EQ(buffer.allocated_size(), std::strlen(text) + 1);
  }
  buffer.assign_text(buffer.text() + 2);
  EXPECT_STREQ(buffer.text(), "longer text");
  EXPECT_EQ(buffer.allocated_size(), 12u);
}

TEST(Reallocate, KeepsContentAndTheOldBlockOnFailure) {
  auto* block = static_cast<char*>(pfc::reallocate(nullptr, 4));
  std::memcpy(block, "abc", 4);
  block = static_cast<char*>(pfc::reallocate(block, 4096));
  EXPECT_STREQ(block, "abc");
  EXPECT_THROW(pfc::reallocate(block, infinite_size), std::bad_alloc);
  EXPECT_STREQ(block, "abc");
  EXPECT_EQ(pfc::reallocate(block, 0), nullptr);
  EXPECT_EQ(pfc::reallocate(nullptr, 0), nullptr);
}

}  // namespace
