// The error tree of error_tree.h as numbered entries, for code that builds a
// table per type (the exception bridge). Checked against the types themselves
// at compile time: the tree's parents, and every other base relation, must be
// what the types declare, or the build fails.
#pragma once

#include <array>
#include <type_traits>
#include <utility>

#include "support/error_tree.h"
#include "support/errors.h"

namespace error_tree {

enum type_id : int {
#define VEK_ERROR_ID(id, ...) id,
  VEK_ERROR_TREE(VEK_ERROR_ID, VEK_ERROR_ID)
#undef VEK_ERROR_ID
      count
};

// entry<id>: `type` (what a handler names), `parent`, `raised_as` (what the
// component throws for it), `qualified_name` (as written in C++, "::name" in
// the global namespace) and `message` (the static text it reports).
template <int Id>
struct entry;

#define VEK_STANDARD_ENTRY(id, type_, parent_, raised_as_, message_) \
  template <>                                                        \
  struct entry<id> {                                                 \
    using type = type_;                                              \
    using parent = parent_;                                          \
    using raised_as = raised_as_;                                    \
    static constexpr const char* qualified_name = #type_;            \
    static constexpr const char* message = message_;                 \
  };
#define VEK_OWN_ENTRY(id, parent_, message_, name, ...)                    \
  template <>                                                              \
  struct entry<id> {                                                       \
    using type = __VA_OPT__(__VA_ARGS__::) name;                           \
    using parent = parent_;                                                \
    using raised_as = type;                                                \
    static constexpr const char* qualified_name = #__VA_ARGS__ "::" #name; \
    static constexpr const char* message = message_;                       \
  };
VEK_ERROR_TREE(VEK_STANDARD_ENTRY, VEK_OWN_ENTRY)
#undef VEK_STANDARD_ENTRY
#undef VEK_OWN_ENTRY

namespace detail {

using ids = std::make_integer_sequence<int, count>;

template <class T, int... Id>
constexpr int id_of(std::integer_sequence<int, Id...>) {
  int found = -1;
  ((std::is_same_v<T, typename entry<Id>::type> ? (found = Id) : 0), ...);
  return found;
}

template <int... Id>
constexpr std::array<int, count> parents(std::integer_sequence<int, Id...>) {
  return {(std::is_same_v<typename entry<Id>::parent, typename entry<Id>::type>
               ? -1
               : id_of<typename entry<Id>::parent>(ids{}))...};
}

// Row `Id`: whether `Id` (and its raised_as) derives from, or is, each entry.
template <int Id, int... Base>
constexpr std::array<bool, count> bases_of_type(std::integer_sequence<int, Base...>) {
  return {std::is_base_of_v<typename entry<Base>::type, typename entry<Id>::type>...};
}
template <int Id, int... Base>
constexpr std::array<bool, count> bases_of_raised(std::integer_sequence<int, Base...>) {
  return {std::is_base_of_v<typename entry<Base>::type, typename entry<Id>::raised_as>...};
}
template <int... Id>
constexpr std::array<std::array<bool, count>, count> type_bases(std::integer_sequence<int, Id...>) {
  return {bases_of_type<Id>(ids{})...};
}
template <int... Id>
constexpr std::array<std::array<bool, count>, count> raised_bases(std::integer_sequence<int, Id...>) {
  return {bases_of_raised<Id>(ids{})...};
}

}  // namespace detail

// The entry each derives from directly; -1 for the root.
inline constexpr std::array<int, count> parent_of = detail::parents(detail::ids{});

// Parents are listed, and before their children; the root alone is first.
constexpr bool parents_are_listed_first() {
  for (int id = 0; id < count; ++id)
    if ((id == 0) != (parent_of[id] == -1) || parent_of[id] >= id) return false;
  return true;
}
static_assert(parents_are_listed_first(), "error_tree.h: a parent is not listed, or listed after its child");

// 0 for the root.
inline constexpr std::array<int, count> depth_of = [] {
  std::array<int, count> depth{};
  for (int id = 1; id < count; ++id) depth[id] = depth[parent_of[id]] + 1;
  return depth;
}();

constexpr bool in_chain_of(int ancestor, int id) {
  for (; id >= 0; id = parent_of[id])
    if (id == ancestor) return true;
  return false;
}

// What the tree says about ancestry is what the types say, for the thrown
// type too: a type whose declared bases differ from its place in the tree, or
// that derives from an entry the tree does not put above it, fails here.
constexpr bool tree_matches_types() {
  constexpr auto type_bases = detail::type_bases(detail::ids{});
  constexpr auto raised_bases = detail::raised_bases(detail::ids{});
  for (int id = 0; id < count; ++id)
    for (int base = 0; base < count; ++base)
      if (type_bases[id][base] != in_chain_of(base, id) || raised_bases[id][base] != in_chain_of(base, id))
        return false;
  return true;
}
static_assert(tree_matches_types(), "error_tree.h and the declared bases of the error types disagree");

// The order to try handlers in: deepest first, so no handler comes before one
// for a type derived from its own.
inline constexpr std::array<int, count> catch_order = [] {
  int deepest = 0;
  for (int depth : depth_of) deepest = depth > deepest ? depth : deepest;
  std::array<int, count> order{};
  int next = 0;
  for (int depth = deepest; depth >= 0; --depth)
    for (int id = 0; id < count; ++id)
      if (depth_of[id] == depth) order[next++] = id;
  return order;
}();

constexpr bool children_are_caught_first() {
  constexpr auto type_bases = detail::type_bases(detail::ids{});
  for (int earlier = 0; earlier < count; ++earlier)
    for (int later = earlier + 1; later < count; ++later)
      if (type_bases[catch_order[later]][catch_order[earlier]]) return false;
  return true;
}
static_assert(children_are_caught_first(), "a handler in catch_order would catch a type meant for a later one");

}  // namespace error_tree
