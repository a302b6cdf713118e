#include "support/strings.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "support/errors.h"

namespace pfc {

namespace {

constexpr char the_empty_text[1] = {0};
constexpr std::size_t slack = 16;
constexpr std::size_t shrink_tolerance = 32;

// Bytes before the first zero, at most `limit`; a limit of 0 reads nothing.
std::size_t bounded_length(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

// a + b, or std::bad_alloc when the sum does not fit in a word.
std::size_t checked_sum(std::size_t a, std::size_t b) {
  if (a > infinite_size - b) raise_bad_alloc();
  return a + b;
}

// Compared as addresses: the pointer may belong to any other object.
bool lies_in(const char* pointer, const char* block, std::size_t size) {
  const auto address = reinterpret_cast<std::uintptr_t>(pointer);
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  return block != nullptr && address >= start && address - start < size;
}

// The heap is touched only when the allocated size changes, and the fields
// follow the new block only once it exists.
void resize_storage(char*& storage, std::size_t& allocated_size, std::size_t target) {
  if (allocated_size == target) return;
  storage = static_cast<char*>(reallocate(storage, target));
  allocated_size = target;
}

}  // namespace

const char* empty_text() noexcept { return the_empty_text; }

storage_plan alloc_standard::plan(std::size_t storage_size, std::size_t allocated_size, std::size_t required) {
  if (storage_size < required) {
    const std::size_t grown = checked_sum(required, slack);
    return {grown, grown};
  }
  if (storage_size - required > shrink_tolerance) return {required, required};
  return {storage_size, allocated_size};
}

storage_plan alloc_fast_aggressive::plan(std::size_t, std::size_t allocated_size, std::size_t required) {
  return {required, doubled_capacity(allocated_size, required)};
}

template <class Policy>
string8_t<Policy>::~string8_t() {
  storage_size_ = 0;
  resize_storage(storage_, allocated_size_, 0);
}

template <class Policy>
void string8_t<Policy>::make_room(std::size_t required) {
  const storage_plan plan = Policy::plan(storage_size_, allocated_size_, required);
  // Growth sets the storage size only once the block exists, so a failure
  // leaves it as it was; a shrink lowers it before giving memory back.
  if (plan.allocated_size > allocated_size_) {
    resize_storage(storage_, allocated_size_, plan.allocated_size);
    storage_size_ = plan.storage_size;
  } else {
    storage_size_ = plan.storage_size;
    resize_storage(storage_, allocated_size_, plan.allocated_size);
  }
}

template <class Policy>
void string8_t<Policy>::append_bytes(const char* bytes, std::size_t count) {
  std::copy_n(bytes, count, extend(count));
}

template <class Policy>
char* string8_t<Policy>::grow_by(std::size_t count) {
  make_room(checked_sum(length_ + 1, count));
  char* const start = storage_ + length_;
  length_ += count;
  storage_[length_] = 0;
  return start;
}

template <class Policy>
void string8_t<Policy>::swap(string8_t& other) noexcept {
  std::swap(storage_, other.storage_);
  std::swap(storage_size_, other.storage_size_);
  std::swap(allocated_size_, other.allocated_size_);
  std::swap(length_, other.length_);
}

template <class Policy>
void string8_t<Policy>::append_text(const char* text, std::size_t limit) {
  if (lies_in(text, storage_, allocated_size_)) {
    // Growing may move the block out from under the source: copy it first.
    string8_t<alloc_standard> copy;
    copy.set_text(text, limit);
    append_text(copy.text_pointer(), infinite_size);
    return;
  }
  append_bytes(text, bounded_length(text, limit));
}

template <class Policy>
const char* string8_t<Policy>::text_pointer() const {
  return length_ > 0 ? storage_ : empty_text();
}

template <class Policy>
void string8_t<Policy>::set_text(const char* text, std::size_t limit) {
  if (lies_in(text, storage_, allocated_size_)) {
    string8_t<alloc_standard> copy;
    copy.set_text(text, limit);
    set_text(copy.text_pointer(), infinite_size);
    return;
  }
  const std::size_t count = bounded_length(text, limit);
  make_room(checked_sum(count, 1));
  std::copy_n(text, count, storage_);
  length_ = count;
  storage_[length_] = 0;
}

template <class Policy>
void string8_t<Policy>::shorten(std::size_t new_length) {
  if (new_length >= length_) return;
  length_ = new_length;
  storage_[length_] = 0;
  make_room(length_ + 1);
}

template <class Policy>
std::size_t string8_t<Policy>::text_length() const {
  return length_;
}

template <class Policy>
char* string8_t<Policy>::open_buffer(std::size_t length) {
  if (length == infinite_size) throw exception_overflow();
  make_room(length + 1);
  std::memset(storage_, 0, storage_size_);
  return storage_;
}

template <class Policy>
void string8_t<Policy>::close_buffer() {
  if (storage_size_ == 0) return;
  // Bounded by the storage: a caller that wrote every byte gets its text
  // terminated rather than a scan past the block.
  length_ = bounded_length(storage_, storage_size_);
  make_room(length_ + 1);
  storage_[length_] = 0;
}

template class string8_t<alloc_standard>;
template class string8_t<alloc_fast_aggressive>;

}  // namespace pfc

text_buffer::~text_buffer() {
  storage_size_ = 0;
  pfc::resize_storage(storage_, allocated_size_, 0);
}

void text_buffer::assign_text(const char* text) {
  if (pfc::lies_in(text, storage_, allocated_size_)) {
    // Resizing may move or cut off the source: build the copy aside.
    text_buffer copy;
    copy.assign_text(text);
    swap(copy);
    return;
  }
  const std::size_t length = std::strlen(text);
  pfc::resize_storage(storage_, allocated_size_, length + 1);
  storage_size_ = length + 1;
  std::copy_n(text, length, storage_);
  storage_[length] = 0;
}

const char* text_buffer::text() const noexcept { return storage_size_ != 0 ? storage_ : pfc::empty_text(); }

void text_buffer::swap(text_buffer& other) noexcept {
  std::swap(storage_, other.storage_);
  std::swap(storage_size_, other.storage_size_);
  std::swap(allocated_size_, other.allocated_size_);
}
