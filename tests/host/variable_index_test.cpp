// The GUID index against std::map keyed by the GUIDs' stream bytes: shape,
// links, in-order walks, lookups and teardown over random insertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "host/config.h"

namespace {

using stream_bytes = std::array<std::uint8_t, 16>;

// The stream bytes are the GUID's memory; the index must follow their order,
// not that of the field values.
guid guid_of(const stream_bytes& b) { return std::bit_cast<guid>(b); }

// The index only stores and hands back its values: distinct fake addresses serve.
loadable_variable* value_of(std::size_t i) { return reinterpret_cast<loadable_variable*>((i + 1) * 8); }

using oracle = std::map<stream_bytes, loadable_variable*>;

// The nodes met from one end of the tree by `step`, at most one more than `limit`.
std::vector<index_node*> walk(const variable_index& index, counted_ref<index_node> index_node::*start,
                              index_node* (index_node::*step)(), std::size_t limit) {
  index_node* n = index.root();
  while (n && (n->*start)) n = (n->*start).get();
  std::vector<index_node*> nodes;
  for (; n && nodes.size() <= limit; n = (n->*step)()) nodes.push_back(n);
  return nodes;
}

// Parent links, the one count of each node's holder, heights and balance; returns
// the height plus one. Notes a fault rather than asserting per node, which costs more than the tree.
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
  const auto forward = walk(index, &index_node::smaller, &index_node::next_node, nodes);
  auto backward = walk(index, &index_node::larger, &index_node::previous_node, nodes);
  std::reverse(backward.begin(), backward.end());
  if (forward != backward || forward.size() != expected.size()) fault = "in-order walks";
  auto entry = expected.begin();
  for (std::size_t i = 0; i < std::min(forward.size(), expected.size()); ++i, ++entry)
    if (!(forward[i]->key == guid_of(entry->first)) || forward[i]->value != entry->second) fault = "order or value";
  for (const auto& [key, value] : expected)
    if (index.find(guid_of(key)) != value) fault = "find";
  ASSERT_STREQ(fault, nullptr) << "after " << expected.size() << " keys";
}

// Full checks after each of the first 256 insertions, then at geometric spacing.
void insert_and_check(const std::vector<stream_bytes>& keys) {
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
  // Held across the teardown, each node must come out unlinked with the test's count its last.
  const auto held = walk(index, &index_node::smaller, &index_node::next_node, expected.size());
  for (index_node* n : held) n->add_reference();
  index.tear_down();
  std::size_t faults = index.root() != nullptr;
  for (index_node* n : held) faults += (n->smaller || n->larger || n->parent || n->height) + (n->release() != 0);
  EXPECT_EQ(faults, 0u);
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
