// The GUID index against std::map keyed by the GUIDs' stream bytes: shape,
// links, in-order walks, lookups and teardown over random insertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "host/config.h"
#include "tests/host/node_allocations.h"

namespace {

using stream_bytes = std::array<std::uint8_t, 16>;

// Built through the fields, so that the order the index must follow is that of
// the little-endian stream bytes, not of the field values.
guid guid_of(const stream_bytes& b) {
  guid id{};
  for (int i = 0; i < 4; ++i) id.data1 |= std::uint32_t{b[i]} << (8 * i);
  id.data2 = static_cast<std::uint16_t>(b[4] | b[5] << 8);
  id.data3 = static_cast<std::uint16_t>(b[6] | b[7] << 8);
  std::copy(b.begin() + 8, b.end(), id.data4);
  return id;
}

// The index only stores and hands back its values: distinct fake addresses serve.
loadable_variable* value_of(std::size_t i) { return reinterpret_cast<loadable_variable*>((i + 1) * 8); }

using oracle = std::map<stream_bytes, loadable_variable*>;

index_node* extreme(index_node* node, counted_ref<index_node> index_node::*side) {
  while (node && (node->*side)) node = (node->*side).get();
  return node;
}

// Parent links, the one count of each node's holder, heights and balance;
// returns the height plus one. Notes a broken property instead of asserting
// per node, which would cost more than the tree.
std::uint32_t check_subtree(index_node* node, index_node* parent, std::size_t& nodes, const char*& fault) {
  if (!node) return 0;
  ++nodes;
  node->add_reference();
  if (node->release() != 1 || node->parent != parent) fault = "count or parent link";
  const std::uint32_t smaller = check_subtree(node->smaller.get(), node, nodes, fault);
  const std::uint32_t larger = check_subtree(node->larger.get(), node, nodes, fault);
  if (node->height != std::max(smaller, larger)) fault = "height";
  if (std::max(smaller, larger) - std::min(smaller, larger) > 1) fault = "balance";
  return node->height + 1;
}

void check_against(const variable_index& index, const oracle& expected) {
  const char* fault = nullptr;
  std::size_t nodes = 0;
  check_subtree(index.root(), nullptr, nodes, fault);
  if (nodes != expected.size()) fault = "node count";
  std::vector<index_node*> forward, backward;
  for (index_node* n = extreme(index.root(), &index_node::smaller); n && forward.size() <= nodes; n = n->next_node())
    forward.push_back(n);
  for (index_node* n = extreme(index.root(), &index_node::larger); n && backward.size() <= nodes;
       n = n->previous_node())
    backward.push_back(n);
  std::reverse(backward.begin(), backward.end());
  if (forward != backward || forward.size() != expected.size()) {
    fault = "in-order walks";
  } else {
    auto entry = expected.begin();
    for (const index_node* n : forward) {
      if (!(n->key == guid_of(entry->first)) || n->value != entry->second) fault = "order or value";
      ++entry;
    }
  }
  for (const auto& [key, value] : expected)
    if (index.find(guid_of(key)) != value) fault = "find";
  ASSERT_STREQ(fault, nullptr) << "after " << expected.size() << " keys";
}

// Holds a count on every node across the teardown: each must come out unlinked,
// with the test's count its last.
void check_teardown(variable_index& index, std::size_t nodes) {
  std::vector<index_node*> held;
  for (index_node* n = extreme(index.root(), &index_node::smaller); n; n = n->next_node()) {
    n->add_reference();
    held.push_back(n);
  }
  ASSERT_EQ(held.size(), nodes);
  index.tear_down();
  EXPECT_EQ(index.root(), nullptr);
  std::size_t faults = 0;
  for (index_node* n : held) {
    faults += n->smaller || n->larger || n->parent || n->height != 0;
    faults += n->release() != 0;
  }
  EXPECT_EQ(faults, 0u);
}

// Full checks after each of the first 256 insertions, then at geometric spacing.
void insert_and_check(const std::vector<stream_bytes>& keys) {
  node_allocations::reset();
  variable_index index;
  oracle expected;
  for (std::size_t i = 0, next_check = 256; i < keys.size(); ++i) {
    index.insert(guid_of(keys[i]), value_of(i));
    expected[keys[i]] = value_of(i);
    if (i < 256 || i == next_check || i + 1 == keys.size()) {
      if (i == next_check) next_check += next_check / 2;
      check_against(index, expected);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(node_allocations::count, expected.size());  // a replacement allocates nothing
  check_teardown(index, expected.size());
}

// A quarter of the keys repeat an earlier one, which takes the new value; the
// rest draw their bytes from `alphabet`, or from all bytes when it is empty.
std::vector<stream_bytes> random_keys(std::size_t count, std::uint32_t seed, std::vector<std::uint8_t> alphabet) {
  std::mt19937 random(seed);
  std::vector<stream_bytes> keys(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && random() % 4 == 0) {
      keys[i] = keys[random() % i];
      continue;
    }
    for (auto& byte : keys[i])
      byte = alphabet.empty() ? static_cast<std::uint8_t>(random()) : alphabet[random() % alphabet.size()];
  }
  return keys;
}

TEST(VariableIndex, RandomKeysMatchOrderedMap) { insert_and_check(random_keys(100000, 1, {})); }

// Keys that share long prefixes and differ between 0x7F and 0x80, which a
// signed comparison would misorder.
TEST(VariableIndex, KeysOrderByUnsignedStreamBytes) { insert_and_check(random_keys(3000, 2, {0x7F, 0x80})); }

}  // namespace
