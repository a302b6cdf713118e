// Strings on the library's own heap (support/heap.cpp).
#include "support/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// A refused request must come back as null, as it does on Windows.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using pfc::infinite_size;

template <class Policy>
class Strings : public ::testing::Test {};
using policies = ::testing::Types<pfc::alloc_standard, pfc::alloc_fast_aggressive>;
TYPED_TEST_SUITE(Strings, policies);

TYPED_TEST(Strings, LimitsShortenAndOwnText) {
  pfc::string8_t<TypeParam> s;
  s.close_buffer();
  EXPECT_EQ(s.text_pointer(), pfc::empty_text());
  EXPECT_EQ(s.allocated_size(), 0u);
  s.set_text("abcdef", 2);
  s.append_text("cd\0ef", 5);
  s.append_text(nullptr, 0);  // a limit of 0 reads nothing
  s.shorten(9);
  EXPECT_STREQ(s.text_pointer(), "abcd");
  EXPECT_EQ(s.text_length(), 4u);
  s.shorten(0);
  EXPECT_EQ(s.text_pointer(), pfc::empty_text());
  // A source inside the string's own storage survives the block moving.
  std::string expected = "abcd";
  s.set_text(expected.c_str(), infinite_size);
  for (int round = 0; round < 5; ++round, expected += expected) s.append_text(s.text_pointer(), infinite_size);
  s.append_text(s.text_pointer() + 1, 3);
  EXPECT_EQ(s.text_pointer(), expected + "bcd");
  s.set_text(s.text_pointer() + 2, 4);  // the standard block shrinks under the source
  EXPECT_STREQ(s.text_pointer(), "cdab");
}

TYPED_TEST(Strings, OpenAndCloseBuffer) {
  pfc::string8_t<TypeParam> s;
  s.set_text("hello world", infinite_size);
  EXPECT_THROW(s.open_buffer(infinite_size), pfc::exception_overflow);
  EXPECT_THROW(s.open_buffer(infinite_size - 16), std::bad_alloc);  // slack or doubling past the word
  EXPECT_STREQ(s.text_pointer(), "hello world");
  char* buffer = s.open_buffer(5);
  EXPECT_EQ(std::string(buffer, s.storage_size()), std::string(s.storage_size(), '\0'));
  std::memcpy(buffer, "hi", 2);
  s.close_buffer();
  EXPECT_STREQ(s.text_pointer(), "hi");
  EXPECT_EQ(s.text_length(), 2u);
  // Every byte written: the text still ends inside the block.
  buffer = s.open_buffer(3);
  const std::size_t filled = s.storage_size();
  std::memset(buffer, 'z', filled);
  s.close_buffer();
  EXPECT_EQ(s.text_pointer(), std::string(filled, 'z'));
}

TEST(StandardString, StorageFollowsTheSlackRule) {
  auto storage_after_set = [](pfc::string8& s, std::size_t length) {
    s.set_text(std::string(length, 'a').c_str(), infinite_size);
    return s.storage_size();
  };
  pfc::string8 s;
  EXPECT_EQ(storage_after_set(s, 3), 20u);
  EXPECT_EQ(storage_after_set(s, 19), 20u);
  EXPECT_EQ(storage_after_set(s, 20), 37u);
  EXPECT_EQ(storage_after_set(s, 4), 37u);  // 32 spare bytes are kept
  EXPECT_EQ(storage_after_set(s, 3), 4u);   // 33 are not
  s.append_text("d", infinite_size);
  EXPECT_EQ(s.storage_size(), 21u);
  EXPECT_EQ(storage_after_set(s, 100), 117u);
  s.shorten(40);
  EXPECT_EQ(s.storage_size(), 41u);
}

TEST(FastAggressiveString, AllocatesPowersOfTwoThatNeverShrink) {
  pfc::string8_fast s;
  s.append_text("", infinite_size);
  EXPECT_EQ(s.text_pointer(), pfc::empty_text());
  EXPECT_EQ(s.allocated_size(), 1u);
  for (std::size_t expected : {2u, 4u, 4u, 8u, 8u, 8u, 8u, 16u}) {
    s.append_text("x", infinite_size);
    EXPECT_EQ(s.allocated_size(), expected);
    EXPECT_EQ(s.storage_size(), s.text_length() + 1);
  }
  s.set_text("", infinite_size);
  EXPECT_EQ(s.storage_size(), 1u);
  EXPECT_EQ(s.allocated_size(), 16u);
  EXPECT_THROW(s.open_buffer(infinite_size / 2 + 1), std::bad_alloc);  // no doubling reaches it
}

TEST(TextBuffer, HoldsExactlyItsTextAndZero) {
  text_buffer buffer;
  EXPECT_EQ(buffer.text(), pfc::empty_text());
  for (const char* text : {"", "hello", "hi", "a longer text"}) {
    buffer.assign_text(text);
    EXPECT_STREQ(buffer.text(), text);
    EXPECT_EQ(buffer.allocated_size(), std::strlen(text) + 1);
  }
  buffer.assign_text(buffer.text() + 2);
  EXPECT_STREQ(buffer.text(), "longer text");
  EXPECT_EQ(buffer.allocated_size(), 12u);
}

TEST(Reallocate, RaisesWhenTheHeapRefuses) {
  void* block = pfc::reallocate(nullptr, 4);
  EXPECT_THROW(pfc::reallocate(block, infinite_size), std::bad_alloc);
  EXPECT_EQ(pfc::reallocate(block, 0), nullptr);
}

}  // namespace
