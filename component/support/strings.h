// Growable zero-terminated 8-bit strings (UTF-8 handled as bytes).
// pfc::string_base is shared with the player: its seven slots are the binary
// contract, and the component only ever calls set_text on the player's strings.
// Failed growth raises std::bad_alloc and leaves text, length and block intact.
#pragma once

#include <cstddef>
#include <type_traits>

#include "support/errors.h"

namespace pfc {

// Limit meaning "up to the terminating zero".
inline constexpr std::size_t infinite_size = ~std::size_t{0};

// The one shared, read-only empty text.
const char* empty_text() noexcept;

// Heap reallocation shared by the strings and the byte buffer: count 0 frees
// and returns null; a failure raises std::bad_alloc and leaves `block` owned.
// Alone in support/heap.cpp, so a test program may link its own in its place.
void* reallocate(void* block, std::size_t count);

class string_receiver {
 public:
  // Appends at most `limit` bytes of `text`, stopping early at a zero byte.
  virtual void append_text(const char* text, std::size_t limit) = 0;

 protected:
  ~string_receiver() = default;
};

class string_base : public string_receiver {
 public:
  // The zero-terminated text; every empty string returns empty_text().
  virtual const char* text_pointer() const = 0;
  // Replaces the text with at most `limit` bytes of `text` (same limit rule).
  virtual void set_text(const char* text, std::size_t limit) = 0;
  // Cuts the text to `new_length` bytes; a longer length changes nothing.
  virtual void shorten(std::size_t new_length) = 0;
  virtual std::size_t text_length() const = 0;
  // Zero-fills the storage and makes `length` bytes of it writable until
  // close_buffer; the all-bits-set length raises exception_overflow.
  virtual char* open_buffer(std::size_t length) = 0;
  // Takes the text up to the first zero the caller left in the open buffer.
  virtual void close_buffer() = 0;

 protected:
  ~string_base() = default;
};

// The sizes a string takes on to hold `required` bytes (text and zero).
struct storage_plan {
  std::size_t storage_size;
  std::size_t allocated_size;
};

// Exact storage with 16 bytes of slack on growth; gives memory back when the
// storage is more than 32 bytes larger than needed.
struct alloc_standard {
  static storage_plan plan(std::size_t storage_size, std::size_t allocated_size, std::size_t required);
};

// Power-of-two allocations that only grow while the string lives.
struct alloc_fast_aggressive {
  static storage_plan plan(std::size_t storage_size, std::size_t allocated_size, std::size_t required);
};

// The fast-aggressive growth rule, also used by buffers with 32-bit sizes:
// max(capacity, 1) doubled until it holds `required`. A doubling that
// overflows Word raises std::bad_alloc.
template <class Word>
Word doubled_capacity(Word capacity, Word required) {
  Word grown = capacity != 0 ? capacity : 1;
  while (grown < required) {
    if (grown > static_cast<Word>(~Word{0}) / 2) raise_bad_alloc();
    grown *= 2;
  }
  return grown;
}

template <class Policy>
class string8_t : public string_base {
 public:
  constexpr string8_t() noexcept = default;
  string8_t(const string8_t&) = delete;
  string8_t& operator=(const string8_t&) = delete;
  ~string8_t();

  void append_text(const char* text, std::size_t limit) override;
  const char* text_pointer() const override;
  void set_text(const char* text, std::size_t limit) override;
  void shorten(std::size_t new_length) override;
  std::size_t text_length() const override;
  char* open_buffer(std::size_t length) override;
  void close_buffer() override;

  // Lengthens the text by `count` bytes, terminated already, and returns where
  // they start: the caller writes all of them before the text is read.
  char* extend(std::size_t count);
  // Exchanges text and storage with `other`; allocates nothing.
  void swap(string8_t& other) noexcept;

  // Introspection of the storage policy, for tests and benchmarks.
  std::size_t storage_size() const noexcept { return storage_size_; }
  std::size_t allocated_size() const noexcept { return allocated_size_; }

 protected:
  // Grows or shrinks by the policy so that `required` bytes (text + zero) fit.
  void make_room(std::size_t required);
  // Appends exactly `count` bytes that do not lie in this string's storage.
  void append_bytes(const char* bytes, std::size_t count);
  // extend through the policy.
  char* grow_by(std::size_t count);

 private:
  char* storage_ = nullptr;
  std::size_t storage_size_ = 0;
  std::size_t allocated_size_ = 0;
  std::size_t length_ = 0;
};

// Growth within the block is the common case of the fast-growing policy, whose
// block never shrinks: it needs no call.
template <class Policy>
inline char* string8_t<Policy>::extend(std::size_t count) {
  if constexpr (std::is_same_v<Policy, alloc_fast_aggressive>) {
    if (count < allocated_size_ - length_) {
      char* const start = storage_ + length_;
      length_ += count;
      storage_size_ = length_ + 1;
      storage_[length_] = 0;
      return start;
    }
  }
  return grow_by(count);
}

extern template class string8_t<alloc_standard>;
extern template class string8_t<alloc_fast_aggressive>;

using string8 = string8_t<alloc_standard>;
using string8_fast = string8_t<alloc_fast_aggressive>;

}  // namespace pfc

// One zero-terminated text in storage sized exactly to it. Not polymorphic.
class text_buffer {
 public:
  constexpr text_buffer() noexcept = default;
  text_buffer(const text_buffer&) = delete;
  text_buffer& operator=(const text_buffer&) = delete;
  ~text_buffer();

  // Storage becomes exactly strlen(text) + 1 bytes, growing or shrinking.
  void assign_text(const char* text);
  // The text, or the empty text if never assigned.
  const char* text() const noexcept;
  // Exchanges text and storage with `other`; allocates nothing.
  void swap(text_buffer& other) noexcept;

  std::size_t storage_size() const noexcept { return storage_size_; }
  std::size_t allocated_size() const noexcept { return allocated_size_; }

 private:
  char* storage_ = nullptr;
  std::size_t storage_size_ = 0;
  std::size_t allocated_size_ = 0;
};
