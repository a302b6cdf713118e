// Configuration variables and their persistence through the player's streams.
// The stream is a plain sequence of records: the variable's 16 GUID bytes, a
// 32-bit little-endian length, then that many bytes of the variable's data.
// This component declares no variables; the mechanism serves any that are linked in.
#pragma once

#include <cstdint>
#include <utility>

#include "host/interfaces.h"
#include "host/services.h"

// Writes one record per saveable variable, in list order. Errors from the
// variables and the stream leave unchanged; an empty list makes no call at all.
void save_configuration(writable_stream& stream, abort_signal& abort);
// Hands each record to the loadable variable with its GUID and skips the rest
// unread. A variable's exception_io_data is swallowed for its record only;
// every other error leaves, with what loaded before it kept.
void load_configuration(readable_stream& stream, abort_signal& abort);

// --- Variables ---

// An entry of saveable_list: table, guid, next_entry. Links itself in at the
// head of the list when constructed and unlinks itself when destroyed, so a
// variable of static storage is linked before the player can save.
class saveable_variable {
 public:
  // Writes the variable's whole data through `stream`, in any number of writes.
  virtual void save_data(writable_stream& stream, abort_signal& abort) = 0;

  const ::guid guid;
  saveable_variable* next_entry;

 protected:
  explicit saveable_variable(const ::guid& id) noexcept;
  saveable_variable(const saveable_variable&) = delete;
  saveable_variable& operator=(const saveable_variable&) = delete;
  ~saveable_variable();
};

// An entry of loadable_list, linked like saveable_variable.
class loadable_variable {
 public:
  // Reads the variable's record of `length` bytes from `stream`, which ends
  // where the record ends. Need not read all of it.
  virtual void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) = 0;

  const ::guid guid;
  loadable_variable* next_entry;

 protected:
  explicit loadable_variable(const ::guid& id) noexcept;
  loadable_variable(const loadable_variable&) = delete;
  loadable_variable& operator=(const loadable_variable&) = delete;
  ~loadable_variable();
};

// Heads of the two lists; they do not own their entries.
extern saveable_variable* saveable_list;
extern loadable_variable* loadable_list;

// --- Save side ---

// Growable bytes whose capacity doubles (from 1) until it holds the size and
// never shrinks while in use. Growth that overflows 32 bits or cannot be
// allocated raises std::bad_alloc and leaves the buffer as it was.
class byte_buffer {
 public:
  constexpr byte_buffer() noexcept = default;
  byte_buffer(const byte_buffer&) = delete;
  byte_buffer& operator=(const byte_buffer&) = delete;
  ~byte_buffer() { free(); }

  void set_size(std::uint32_t size);
  void free() noexcept;

  std::uint8_t* data() const noexcept { return data_; }
  std::uint32_t size() const noexcept { return size_; }
  std::uint32_t capacity() const noexcept { return capacity_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

// Appends everything written to a byte_buffer it does not own. Each write
// first polls the abort signal and raises exception_aborted when it is set.
class buffer_writer final : public writable_stream {
 public:
  explicit buffer_writer(byte_buffer& buffer) noexcept : buffer_(buffer) {}
  void write_bytes(const void* source, std::uint32_t count, abort_signal& abort) override;

 private:
  byte_buffer& buffer_;
};

// --- Load side ---

// Passes at most `remaining` bytes of the inner stream (not owned) through:
// a variable cannot read or skip past the end of its record. The exact
// operations raise exception_io_data_truncation when they come up short.
class limited_reader final : public readable_stream {
 public:
  limited_reader(readable_stream& inner, std::uint64_t remaining) noexcept : inner_(inner), remaining_(remaining) {}

  std::uint32_t read_bytes(void* destination, std::uint32_t count, abort_signal& abort) override;
  void read_exact(void* destination, std::uint32_t count, abort_signal& abort) override;
  std::uint64_t skip_bytes(std::uint64_t count, abort_signal& abort) override;
  void skip_exact(std::uint64_t count, abort_signal& abort) override;

  std::uint64_t remaining() const noexcept { return remaining_; }

 private:
  readable_stream& inner_;
  std::uint64_t remaining_;
};

// Holds one count on a reference_counted_object T, or nothing. Storing takes
// a count on the new object before releasing the old one.
template <class T>
class counted_ref {
 public:
  constexpr counted_ref() noexcept = default;
  counted_ref(const counted_ref&) = delete;
  counted_ref& operator=(const counted_ref&) = delete;
  ~counted_ref() { reset(); }

  void store(T* object) noexcept {
    if (object) object->add_reference();
    if (T* old = std::exchange(object_, object)) old->release();
  }
  void reset() noexcept { store(nullptr); }

  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// A key and its variable, with no neighbours of its own.
class index_list_node : public reference_counted_object {
 public:
  virtual index_list_node* previous_node() { return nullptr; }
  virtual index_list_node* next_node() { return nullptr; }

  const ::guid key;
  loadable_variable* value;

 protected:
  index_list_node(const ::guid& k, loadable_variable* v) noexcept : key(k), value(v) {}
  ~index_list_node() = default;
};

// A node of the AVL tree of variable_index. Children are counted, the parent
// is not. Height 0 for a node without children.
class index_node final : public index_list_node {
 public:
  // Raises std::bad_alloc when there is no memory. Count 0 until stored.
  static index_node* create(const ::guid& key, loadable_variable* value);

  // Releases larger, then smaller, then frees the node if `free_memory` is 1.
  void destroy(std::uint32_t free_memory) override;
  // In-order neighbours, or null.
  index_node* previous_node() override;
  index_node* next_node() override;

  counted_ref<index_node> smaller;
  counted_ref<index_node> larger;
  index_node* parent = nullptr;
  std::uint32_t height = 0;

 private:
  index_node(const ::guid& k, loadable_variable* v) noexcept : index_list_node(k, v) {}
  ~index_node() = default;
};

// Map from GUID to loadable variable, an AVL tree ordered by the 16 GUID bytes
// compared unsigned, first byte first. Torn down when destroyed.
class variable_index {
 public:
  constexpr variable_index() noexcept = default;
  variable_index(const variable_index&) = delete;
  variable_index& operator=(const variable_index&) = delete;
  ~variable_index() { tear_down(); }

  // Adds `key`, or gives an existing equal key the new value. Raises
  // std::bad_alloc, with the tree unchanged, when a node cannot be allocated.
  void insert(const ::guid& key, loadable_variable* value);
  loadable_variable* find(const ::guid& key) const noexcept;
  // Unlinks every node; each is freed when its last reference goes.
  void tear_down() noexcept;

  index_node* root() const noexcept { return root_.get(); }

 private:
  counted_ref<index_node> root_;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(saveable_variable) == 24 && sizeof(loadable_variable) == 24);
static_assert(sizeof(byte_buffer) == 12 && sizeof(buffer_writer) == 8);
static_assert(sizeof(limited_reader) == 16);
static_assert(sizeof(index_node) == 44 && sizeof(variable_index) == 4);
#endif
