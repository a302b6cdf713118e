#include "host/config.h"

#include <bit>
#include <cstring>
#include <new>

#include "platform/exception_bridge.h"
#include "support/errors.h"
#include "support/strings.h"

// GUIDs are read from and written to the stream as their in-memory bytes.
static_assert(std::endian::native == std::endian::little);

saveable_variable* saveable_list = nullptr;
loadable_variable* loadable_list = nullptr;

namespace {

template <class Entry>
void link_at_head(Entry*& head, Entry& entry) noexcept {
  entry.next_entry = head;
  head = &entry;
}

template <class Entry>
void unlink(Entry*& head, Entry& entry) noexcept {
  for (Entry** link = &head; *link; link = &(*link)->next_entry) {
    if (*link == &entry) {
      *link = entry.next_entry;
      return;
    }
  }
}

void encode_length(std::uint32_t length, std::uint8_t (&bytes)[4]) noexcept {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(length >> (8 * i));
}

std::uint32_t decode_length(const std::uint8_t (&bytes)[4]) noexcept {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

saveable_variable::saveable_variable(const ::guid& id) noexcept : guid(id) { link_at_head(saveable_list, *this); }
saveable_variable::~saveable_variable() { unlink(saveable_list, *this); }
loadable_variable::loadable_variable(const ::guid& id) noexcept : guid(id) { link_at_head(loadable_list, *this); }
loadable_variable::~loadable_variable() { unlink(loadable_list, *this); }

// --- Save ---

void byte_buffer::set_size(std::uint32_t size) {
  const std::uint32_t capacity = pfc::doubled_capacity(capacity_, size);
  if (capacity > capacity_) {
    data_ = static_cast<std::uint8_t*>(pfc::reallocate(data_, capacity));
    capacity_ = capacity;
  }
  size_ = size;
}

void byte_buffer::free() noexcept {
  size_ = 0;
  capacity_ = 0;
  if (data_) pfc::reallocate(std::exchange(data_, nullptr), 0);
}

void buffer_writer::write_bytes(const void* source, std::uint32_t count, abort_signal& abort) {
  if (platform::call_player([&] { return abort.cancel_requested(); })) throw foobar2000_io::exception_aborted();
  const std::uint32_t old_size = buffer_.size();
  if (count > UINT32_MAX - old_size) pfc::raise_bad_alloc();
  buffer_.set_size(old_size + count);
  if (count) std::memcpy(buffer_.data() + old_size, source, count);
}

// The player's streams and abort signal are called under the bridge: the
// buffer and the index must be released, and a variable's data errors swallowed.
void save_configuration(writable_stream& stream, abort_signal& abort) {
  byte_buffer buffer;
  buffer_writer writer(buffer);
  for (saveable_variable* entry = saveable_list; entry; entry = entry->next_entry) {
    buffer.set_size(0);
    entry->save_data(writer, abort);
    std::uint8_t length[4];
    encode_length(buffer.size(), length);
    const auto write = [&](const void* bytes, std::uint32_t count) {
      platform::call_player([&] { stream.write_bytes(bytes, count, abort); });
    };
    write(&entry->guid, sizeof entry->guid);
    write(length, sizeof length);
    if (buffer.size()) write(buffer.data(), buffer.size());
  }
}

// --- Load ---

std::uint32_t limited_reader::read_bytes(void* destination, std::uint32_t count, abort_signal& abort) {
  if (count > remaining_) count = static_cast<std::uint32_t>(remaining_);
  const std::uint32_t done = platform::call_player([&] { return inner_.read_bytes(destination, count, abort); });
  remaining_ -= done;
  return done;
}

void limited_reader::read_exact(void* destination, std::uint32_t count, abort_signal& abort) {
  if (read_bytes(destination, count, abort) != count) throw foobar2000_io::exception_io_data_truncation();
}

std::uint64_t limited_reader::skip_bytes(std::uint64_t count, abort_signal& abort) {
  if (count > remaining_) count = remaining_;
  const std::uint64_t done = platform::call_player([&] { return inner_.skip_bytes(count, abort); });
  remaining_ -= done;
  return done;
}

void limited_reader::skip_exact(std::uint64_t count, abort_signal& abort) {
  if (skip_bytes(count, abort) != count) throw foobar2000_io::exception_io_data_truncation();
}

void load_configuration(readable_stream& stream, abort_signal& abort) {
  variable_index index;
  for (loadable_variable* entry = loadable_list; entry; entry = entry->next_entry) index.insert(entry->guid, entry);

  for (;;) {
    guid id;
    if (platform::call_player([&] { return stream.read_bytes(&id, sizeof id, abort); }) != sizeof id) break;
    std::uint8_t length_bytes[4];
    platform::call_player([&] { stream.read_exact(length_bytes, sizeof length_bytes, abort); });
    const std::uint32_t length = decode_length(length_bytes);

    loadable_variable* const variable = index.find(id);
    if (!variable) {
      platform::call_player([&] { stream.skip_exact(length, abort); });
      continue;
    }
    limited_reader reader(stream, length);
    try {
      variable->load_data(reader, length, abort);
    } catch (const foobar2000_io::exception_io_data&) {
      // A damaged record costs only its own variable; the stream goes on after it.
    }
    if (reader.remaining() != 0) reader.skip_exact(reader.remaining(), abort);
  }
}

// --- Index ---

namespace {

int compare_keys(const guid& a, const guid& b) noexcept { return std::memcmp(&a, &b, sizeof(guid)); }

// Height plus one, or 0 for no node.
std::uint32_t level(const counted_ref<index_node>& child) noexcept { return child ? child->height + 1 : 0; }

void update_height(index_node& node) noexcept {
  const std::uint32_t smaller = level(node.smaller), larger = level(node.larger);
  node.height = smaller > larger ? smaller : larger;
}

std::int32_t balance(const index_node& node) noexcept {
  return static_cast<std::int32_t>(level(node.larger)) - static_cast<std::int32_t>(level(node.smaller));
}

// The two rotations are one algorithm with the roles of the children exchanged.
using child_link = counted_ref<index_node> index_node::*;

// Makes the `rising` child of the node in `place` the node in `place`.
void rotate(counted_ref<index_node>& place, child_link rising, child_link other) noexcept {
  counted_ref<index_node> n, r;  // kept alive while links move
  n.store(place.get());
  r.store((n.get()->*rising).get());
  (n.get()->*rising).store((r.get()->*other).get());
  if (index_node* moved = (n.get()->*rising).get()) moved->parent = n.get();
  (r.get()->*other).store(n.get());
  r->parent = n->parent;
  n->parent = r.get();
  update_height(*n.get());
  update_height(*r.get());
  place.store(r.get());
}

void rebalance(counted_ref<index_node>& place) noexcept {
  index_node& node = *place.get();
  const std::int32_t node_balance = balance(node);
  if (node_balance > 1) {
    if (balance(*node.larger.get()) < 0) rotate(node.larger, &index_node::smaller, &index_node::larger);
    rotate(place, &index_node::larger, &index_node::smaller);
  } else if (node_balance < -1) {
    if (balance(*node.smaller.get()) > 0) rotate(node.smaller, &index_node::larger, &index_node::smaller);
    rotate(place, &index_node::smaller, &index_node::larger);
  }
}

index_node* insert_at(counted_ref<index_node>& place, index_node* owner, const guid& key, loadable_variable* value,
                      bool& added) {
  if (!place) {
    index_node* node = index_node::create(key, value);
    place.store(node);
    node->parent = owner;
    added = true;
    return node;
  }
  index_node* const node = place.get();
  const int order = compare_keys(node->key, key);
  if (order == 0) {
    added = false;
    return node;
  }
  index_node* const found = insert_at(order > 0 ? node->smaller : node->larger, node, key, value, added);
  if (added) {
    update_height(*node);
    rebalance(place);
  }
  return found;
}

void tear_down_subtree(index_node& node) noexcept {
  if (node.smaller) tear_down_subtree(*node.smaller.get());
  if (node.larger) tear_down_subtree(*node.larger.get());
  node.smaller.reset();
  node.larger.reset();
  node.parent = nullptr;
  node.height = 0;
}

// The in-order neighbour on the `toward` side; the other child link is `away`.
index_node* neighbour(index_node* node, child_link toward, child_link away) noexcept {
  if (index_node* child = (node->*toward).get()) {
    while ((child->*away)) child = (child->*away).get();
    return child;
  }
  for (index_node* parent = node->parent; parent; node = parent, parent = parent->parent) {
    if ((parent->*away).get() == node) return parent;
  }
  return nullptr;
}

}  // namespace

index_node* index_node::create(const ::guid& key, loadable_variable* value) {
  void* memory = ::operator new(sizeof(index_node), std::nothrow);
  if (!memory) pfc::raise_bad_alloc();
  return ::new (memory) index_node(key, value);
}

void index_node::destroy(std::uint32_t free_memory) {
  larger.reset();
  smaller.reset();
  this->~index_node();
  if (free_memory == 1) ::operator delete(this);
}

index_node* index_node::previous_node() { return neighbour(this, &index_node::smaller, &index_node::larger); }
index_node* index_node::next_node() { return neighbour(this, &index_node::larger, &index_node::smaller); }

void variable_index::insert(const ::guid& key, loadable_variable* value) {
  bool added = false;
  insert_at(root_, nullptr, key, value, added)->value = value;
}

loadable_variable* variable_index::find(const ::guid& key) const noexcept {
  for (index_node* node = root_.get(); node;) {
    const int order = compare_keys(node->key, key);
    if (order == 0) return node->value;
    node = (order > 0 ? node->smaller : node->larger).get();
  }
  return nullptr;
}

void variable_index::tear_down() noexcept {
  if (root_) tear_down_subtree(*root_.get());
  root_.reset();
}
