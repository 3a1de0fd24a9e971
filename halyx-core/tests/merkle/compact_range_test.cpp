// The refusals of the compact-range API, one condition at a time: each row breaks exactly one of
// the conditions a call checks, at its edge and one step past it, beside the row the same call
// accepts, so that a check dropped, inverted or moved by one fails a row of its own. A refused call
// must leave the range as it was; an accepted one must give what the definition of the tree hash
// gives.
#include <halyx/merkle/compact_range.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <halyx/digest/sha256.hpp>
#include "tree_definition.hpp"

namespace halyx::merkle {
namespace {

using test::definition_path;
using test::definition_root;

constexpr std::uint64_t TOP = UINT64_MAX;  // the last leaf a range may end at

std::vector<Hash32> leaf_hashes(std::uint64_t n) {
  std::vector<Hash32> out;
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto b = static_cast<std::uint8_t>(i);
    out.push_back(digest::sha256(ByteView(&b, 1)));
  }
  return out;
}

// [0, end) as one subtree per set bit of `end`, the largest first.
CompactRange prefix(std::uint64_t end) {
  CompactRange r;
  for (unsigned bit = 64; bit-- > 0;) {
    if (((end >> bit) & 1) != 0) {
      EXPECT_TRUE(r.append(Hash32{static_cast<std::uint8_t>(bit)}, bit));
    }
  }
  EXPECT_EQ(r.end(), end);
  return r;
}

std::vector<SubtreeNode> nodes_of(const CompactRange& r) { return {r.nodes().begin(), r.nodes().end()}; }

TEST(CompactRangeRefuses, EachConditionOfAppendingASubtreeAlone) {
  // append(root, height) refuses a height above 63, a subtree that does not start at a multiple of
  // its size, and one that would reach leaf 2^64. An aligned subtree never goes past 2^64 (its
  // start and its size are both multiples of its size), so reaching 2^64 exactly is the edge and
  // there is no step past it; each such row is aligned and of a valid height.
  struct Row {
    const char* name;
    std::uint64_t at;  // where the range ends before the call
    unsigned height;
    bool accepted;
  };
  const Row rows[] = {
      {"largest height, from leaf 0", 0, 63, true},
      {"height 64", 0, 64, false},
      {"height 65", 0, 65, false},
      {"four leaves at leaf 4", 4, 2, true},
      {"eight leaves at leaf 4", 4, 3, false},
      {"sixteen leaves at leaf 4", 4, 4, false},
      {"2^62 leaves at leaf 2^62", std::uint64_t{1} << 62, 62, true},
      {"2^63 leaves at leaf 2^62, inside the tree but not aligned", std::uint64_t{1} << 62, 63, false},
      {"2^62 leaves at leaf 2^63", std::uint64_t{1} << 63, 62, true},
      {"2^63 leaves at leaf 2^63, reaching 2^64", std::uint64_t{1} << 63, 63, false},
      {"one leaf ending at the last leaf", TOP - 1, 0, true},
      {"two leaves reaching 2^64", TOP - 1, 1, false},
      {"one leaf after the last leaf", TOP, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CompactRange r = prefix(row.at);
    const std::vector<SubtreeNode> before = nodes_of(r);
    const Hash32 root{0xAB};
    ASSERT_EQ(r.append(root, row.height), row.accepted);
    if (row.accepted) {
      EXPECT_EQ(r.end(), row.at + (std::uint64_t{1} << row.height));
      EXPECT_EQ(r.nodes().back().start + (std::uint64_t{1} << r.nodes().back().height), r.end());
    } else {
      EXPECT_EQ(r.end(), row.at);
      EXPECT_EQ(nodes_of(r), before);
    }
  }
}

TEST(CompactRangeRefuses, ARangeThatDoesNotStartWhereItEnds) {
  const std::uint64_t end = 8;
  for (const std::uint64_t start : {end - 2, end - 1, end, end + 1, end + 2}) {
    SCOPED_TRACE("next range at " + std::to_string(start));
    CompactRange r = prefix(end);
    const std::vector<SubtreeNode> before = nodes_of(r);
    CompactRange next(start);
    ASSERT_TRUE(next.append_leaf(Hash32{0x11}));
    ASSERT_EQ(r.append(next), start == end);
    EXPECT_EQ(r.end(), start == end ? end + 1 : end);
    if (start != end) {
      EXPECT_EQ(nodes_of(r), before);
    }
  }
}

TEST(RootFromSidesRefuses, EachConditionAlone) {
  // The conditions: `before` starts at 0, is not empty, ends within the tree, and `after` holds
  // exactly the right siblings of its last leaf. The rows past the tree's end use a range of eight
  // leaves, whose one node would otherwise be taken as the root of a tree of 6 or 7.
  struct Row {
    const char* name;
    std::uint64_t begin, end, tree_size;
    int extra_after;  // hashes added to (or, below 0, taken from) the right siblings
    bool accepted;
  };
  const Row rows[] = {
      {"the whole tree", 0, 8, 8, 0, true},
      {"five leaves of eight", 0, 5, 8, 0, true},
      {"one leaf of eight", 0, 1, 8, 0, true},
      {"one leaf of one", 0, 1, 1, 0, true},
      {"starts at leaf 1", 1, 5, 8, 0, false},
      {"starts at leaf 2", 2, 5, 8, 0, false},
      {"starts at leaf 4, one node", 4, 8, 8, 0, false},
      {"empty, tree of eight", 0, 0, 8, 0, false},
      {"empty, tree of one", 0, 0, 1, 0, false},
      {"empty, empty tree", 0, 0, 0, 0, false},
      {"ends one past a tree of seven", 0, 8, 7, 0, false},
      {"ends two past a tree of six", 0, 8, 6, 0, false},
      {"ends one past a tree of four", 0, 5, 4, 0, false},
      {"one right sibling too many", 0, 5, 8, 1, false},
      {"two right siblings too many", 0, 5, 8, 2, false},
      {"one right sibling too few", 0, 5, 8, -1, false},
      {"two right siblings too few", 0, 5, 8, -2, false},
      {"a right sibling where the last leaf has none", 0, 8, 8, 1, false},
  };
  const std::vector<Hash32> leaves = leaf_hashes(8);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CompactRange before(row.begin);
    for (std::uint64_t i = row.begin; i < row.end; ++i) ASSERT_TRUE(before.append_leaf(leaves[i]));
    std::vector<Hash32> after;
    if (row.end > 0 && row.end <= row.tree_size) {
      const std::vector<Hash32> path = definition_path(leaves, row.end - 1, 0, row.tree_size);
      const std::optional<PathSides> sides = split_path(row.end - 1, row.tree_size, path);
      ASSERT_TRUE(sides.has_value());
      after.assign(sides->after.begin(), sides->after.begin() + sides->after_count);
    }
    for (int i = 0; i < row.extra_after; ++i) after.push_back(Hash32{0x22});
    for (int i = 0; i > row.extra_after; --i) after.pop_back();
    const std::optional<Hash32> root = root_from_sides(before, after, row.tree_size);
    ASSERT_EQ(root.has_value(), row.accepted);
    if (row.accepted) {
      EXPECT_EQ(*root, definition_root(leaves, 0, row.tree_size));
    }
  }
}

TEST(SplitPathRefuses, EachConditionAlone) {
  // The conditions: the leaf lies inside the tree, and the path holds exactly as many hashes as
  // the leaf's walk consumes. An accepted split, with the leaf added to its left side, gives the
  // tree's root back through root_from_sides.
  struct Row {
    const char* name;
    std::uint64_t leaf, tree_size;
    int extra;  // hashes added to (or, below 0, taken from) the leaf's path
    bool accepted;
  };
  const Row rows[] = {
      {"the last leaf", 7, 8, 0, true},
      {"a leaf inside", 5, 8, 0, true},
      {"the only leaf", 0, 1, 0, true},
      {"the leaf at the tree's size", 8, 8, 0, false},
      {"the leaf one past it", 9, 8, 0, false},
      // Leaf 3 of a tree of three would walk two hashes to a range [0, 3) that looks whole: only
      // the leaf's own check refuses it (the last leaf's path has one hash, so one is added).
      {"the leaf at the size of a tree of three", 3, 3, 1, false},
      {"the last leaf of a tree of three", 2, 3, 0, true},
      {"no leaf of an empty tree", 0, 0, 0, false},
      {"one hash too many", 5, 8, 1, false},
      {"two hashes too many", 5, 8, 2, false},
      {"one hash too few", 5, 8, -1, false},
      {"two hashes too few", 5, 8, -2, false},
      {"a hash for the only leaf", 0, 1, 1, false},
  };
  const std::vector<Hash32> leaves = leaf_hashes(8);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A leaf outside the tree gets the path of the tree's last leaf, of the length that walk needs.
    const std::uint64_t walked = row.tree_size == 0 ? 0 : std::min(row.leaf, row.tree_size - 1);
    std::vector<Hash32> path = row.tree_size == 0 ? std::vector<Hash32>{} : definition_path(leaves, walked, 0, row.tree_size);
    for (int i = 0; i < row.extra; ++i) path.push_back(Hash32{0x33});
    for (int i = 0; i > row.extra; --i) path.pop_back();
    std::optional<PathSides> sides = split_path(row.leaf, row.tree_size, path);
    ASSERT_EQ(sides.has_value(), row.accepted);
    if (!row.accepted) continue;
    EXPECT_EQ(sides->before.begin(), 0u);
    EXPECT_EQ(sides->before.end(), row.leaf);
    ASSERT_TRUE(sides->before.append_leaf(leaves[row.leaf]));
    const std::optional<Hash32> root =
        root_from_sides(sides->before, std::span(sides->after).first(sides->after_count), row.tree_size);
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(*root, definition_root(leaves, 0, row.tree_size));
  }
}

}  // namespace
}  // namespace halyx::merkle
