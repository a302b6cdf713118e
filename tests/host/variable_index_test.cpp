// The GUID index against std::map over the GUIDs' stream bytes: shape, links,
// order, lookups, counts and teardown after every kind of insertion sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "host/config.h"
#include "tests/host/node_allocations.h"

namespace {

// Keys are drawn as stream bytes, which fix the order the index must follow;
// the GUIDs are built from them through the fields (little-endian), not by
// copying memory.
using stream_bytes = std::array<std::uint8_t, 16>;

guid guid_of(const stream_bytes& bytes) {
  guid id{};
  for (int i = 0; i < 4; ++i) id.data1 |= std::uint32_t{bytes[i]} << (8 * i);
  id.data2 = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
  id.data3 = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
  for (int i = 0; i < 8; ++i) id.data4[i] = bytes[8 + i];
  return id;
}

// Values are only stored and handed back, never called: addresses in a byte
// array serve as distinct stand-ins.
struct value_pool {
  explicit value_pool(std::size_t count) : bytes(count) {}
  loadable_variable* operator[](std::size_t i) { return reinterpret_cast<loadable_variable*>(&bytes[i]); }
  std::vector<std::uint8_t> bytes;
};

// Ordered by the stream bytes; holds the GUID itself so that the checks compare
// keys without converting them again.
struct expected_entry {
  guid key;
  loadable_variable* value;
};
using oracle = std::map<stream_bytes, expected_entry>;

// Collects the first broken property instead of asserting per node, which
// would cost more than the tree itself.
struct findings {
  std::string first;
  void expect(bool holds, const char* what) {
    if (!holds && first.empty()) first = what;
  }
};

// Checks links, heights, balance and that `node` has exactly one holder;
// returns the node's height plus one.
std::uint32_t check_subtree(index_node* node, index_node* parent, std::size_t& nodes, findings& found) {
  if (!node) return 0;
  ++nodes;
  found.expect(node->parent == parent, "parent link");
  node->add_reference();
  found.expect(node->release() == 1, "a count other than the one holder");
  const std::uint32_t smaller = check_subtree(node->smaller.get(), node, nodes, found);
  const std::uint32_t larger = check_subtree(node->larger.get(), node, nodes, found);
  found.expect(node->height == std::max(smaller, larger), "height");
  found.expect(std::max(smaller, larger) - std::min(smaller, larger) <= 1, "balance");
  return node->height + 1;
}

index_node* extreme(index_node* node, counted_ref<index_node> index_node::*side) {
  while (node && (node->*side)) node = (node->*side).get();
  return node;
}

void check_against(const variable_index& index, const oracle& expected) {
  findings found;
  std::size_t nodes = 0;
  check_subtree(index.root(), nullptr, nodes, found);
  found.expect(nodes == expected.size(), "node count");

  auto forward = expected.begin();
  for (index_node* node = extreme(index.root(), &index_node::smaller); node && forward != expected.end();
       node = node->next_node(), ++forward) {
    found.expect(node->key == forward->second.key && node->value == forward->second.value, "next_node walk");
  }
  found.expect(forward == expected.end(), "next_node walk length");

  auto backward = expected.rbegin();
  for (index_node* node = extreme(index.root(), &index_node::larger); node && backward != expected.rend();
       node = node->previous_node(), ++backward) {
    found.expect(node->key == backward->second.key, "previous_node walk");
  }
  found.expect(backward == expected.rend(), "previous_node walk length");

  for (const auto& [bytes, entry] : expected) found.expect(index.find(entry.key) == entry.value, "find");
  ASSERT_EQ(found.first, "") << "after " << expected.size() << " keys";
}

// Takes a reference on every node, tears the index down, and checks that each
// node was unlinked with no count left but the test's: the release must destroy it.
void check_teardown(variable_index& index, std::size_t expected_nodes) {
  std::vector<index_node*> held;
  for (index_node* node = extreme(index.root(), &index_node::smaller); node; node = node->next_node()) {
    node->add_reference();
    held.push_back(node);
  }
  ASSERT_EQ(held.size(), expected_nodes);
  index.tear_down();
  EXPECT_EQ(index.root(), nullptr);
  findings found;
  for (index_node* node : held) {
    found.expect(!node->smaller && !node->larger && !node->parent && node->height == 0, "a node left linked");
    found.expect(node->release() == 0, "a count left besides the test's");
  }
  EXPECT_EQ(found.first, "");
}

// Full checks after every insertion while the tree is small, then after
// insertions spaced geometrically, so the checks cost a few times the tree.
void insert_and_check(const std::vector<stream_bytes>& keys) {
  node_allocations::reset();
  value_pool values(keys.size());
  variable_index index;
  oracle expected;
  std::size_t next_check = 256;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const guid key = guid_of(keys[i]);
    index.insert(key, values[i]);
    expected[keys[i]] = {key, values[i]};
    if (i < 256 || i == next_check || i + 1 == keys.size()) {
      if (i == next_check) next_check += next_check / 2;
      check_against(index, expected);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(node_allocations::count(), expected.size());
  check_teardown(index, expected.size());
}

// Bytes drawn from `alphabet`, so that long shared prefixes and the bytes
// either side of the sign bit come up often.
std::vector<stream_bytes> random_keys(std::size_t count, std::uint32_t seed,
                                      const std::vector<std::uint8_t>& alphabet) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::vector<stream_bytes> keys(count);
  for (auto& key : keys)
    for (auto& byte : key) byte = alphabet[pick(random)];
  return keys;
}

std::vector<std::uint8_t> all_bytes() {
  std::vector<std::uint8_t> alphabet(256);
  for (int i = 0; i < 256; ++i) alphabet[i] = static_cast<std::uint8_t>(i);
  return alphabet;
}

constexpr std::size_t large_tree = 100000;

TEST(VariableIndex, RandomKeysMatchOrderedMap) { insert_and_check(random_keys(large_tree, 1, all_bytes())); }

TEST(VariableIndex, KeysWithSharedPrefixesOrderByUnsignedStreamBytes) {
  // Few distinct bytes: repeats (replacements) and keys that first differ deep
  // inside data4, or in the high byte of data1 between 0x7F and 0x80.
  insert_and_check(random_keys(3000, 2, {0x00, 0x01, 0x7F, 0x80, 0xFF}));
  std::vector<stream_bytes> one_byte_apart;
  for (int position = 0; position < 16; ++position)
    for (std::uint8_t value : {0x80, 0x7F, 0x01, 0xFF, 0x00}) {
      stream_bytes key{};
      key[position] = value;
      one_byte_apart.push_back(key);
    }
  insert_and_check(one_byte_apart);
}

TEST(VariableIndex, SortedAndZigzagSequencesStayBalanced) {
  auto keys = random_keys(large_tree / 4, 3, all_bytes());
  std::sort(keys.begin(), keys.end());
  insert_and_check(keys);
  std::reverse(keys.begin(), keys.end());
  insert_and_check(keys);
  std::vector<stream_bytes> zigzag;
  for (std::size_t low = 0, high = keys.size() - 1; low <= high; ++low, --high) {
    zigzag.push_back(keys[low]);
    if (low != high) zigzag.push_back(keys[high]);
  }
  insert_and_check(zigzag);
}

TEST(VariableIndex, EqualKeyTakesTheLatestValueWithoutANewNode) {
  // A small pool inserted many times over: most insertions are replacements.
  auto pool = random_keys(200, 4, all_bytes());
  std::mt19937 random(5);
  std::vector<stream_bytes> keys(20000);
  for (auto& key : keys) key = pool[random() % pool.size()];
  insert_and_check(keys);
}

TEST(VariableIndex, FailedAllocationLeavesTheTreeAsItWas) {
  auto keys = random_keys(64, 6, all_bytes());
  value_pool values(keys.size() + 1);
  variable_index index;
  oracle expected;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    index.insert(guid_of(keys[i]), values[i]);
    expected[keys[i]] = {guid_of(keys[i]), values[i]};
  }
  node_allocations::reset();
  node_allocations::fail_after(0);
  stream_bytes absent = keys[0];
  absent[15] ^= 1;
  EXPECT_THROW(index.insert(guid_of(absent), values[keys.size()]), std::bad_alloc);
  // A replacement allocates nothing, so it still succeeds.
  index.insert(guid_of(keys[3]), values[keys.size()]);
  expected[keys[3]].value = values[keys.size()];
  node_allocations::reset();
  check_against(index, expected);
  EXPECT_EQ(index.find(guid_of(absent)), nullptr);
  check_teardown(index, expected.size());
}

TEST(VariableIndex, EmptyIndexFindsNothingAndTearsDownTwice) {
  variable_index index;
  EXPECT_EQ(index.find(guid{}), nullptr);
  index.tear_down();
  value_pool values(1);
  index.insert(guid{}, values[0]);
  EXPECT_EQ(index.find(guid{}), values[0]);
  EXPECT_EQ(index.root()->next_node(), nullptr);
  EXPECT_EQ(index.root()->previous_node(), nullptr);
  check_teardown(index, 1);
  index.tear_down();
}

}  // namespace
