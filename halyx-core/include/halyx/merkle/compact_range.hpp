// compact_range.hpp: ranges of leaves held as the few perfect subtrees that cover them, and the
// root of a tree computed from a range and the boundary hashes two inclusion proofs carry.
//
// Every perfect subtree of 2^h leaves that starts at a multiple of 2^h and ends within the tree is a
// node of this log's tree, whatever its size. A range [begin, end) of leaves is therefore covered by
// at most two such nodes per level, and two adjacent ranges join in O(log n) hash operations:
//
//   level 2          2.0                     leaves [1, 7) in a tree of 8:
//   level 1      1.0     1.1     1.2         0.1, 1.1, 1.2, 0.6
//   level 0    0.0 0.1 0.2 0.3 0.4 0.5 0.6 0.7
//
// The left siblings on the inclusion path of leaf m are exactly the nodes that cover [0, m), and its
// right siblings are the nodes (the last one possibly unbalanced) that cover [m + 1, n). So the
// first proof of a segment gives what lies before it, the last proof what lies after it, and the
// segment's own leaves fill the rest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <halyx/bytes.hpp>

namespace halyx::merkle {

// A perfect subtree of 2^height leaves starting at leaf `start`, by its root.
struct SubtreeNode {
  Hash32 hash{};
  std::uint64_t start = 0;
  std::uint8_t height = 0;
  bool operator==(const SubtreeNode&) const = default;
};

// Leaves [begin, end) held as the fewest perfect aligned subtrees that cover them, left to right.
// Fixed size: at most two nodes per level, so nothing is allocated whatever the range's length.
class CompactRange {
 public:
  // At most two nodes per level of a 64-bit tree, and one more while a new node joins.
  static constexpr std::size_t MAX_NODES = 2 * 64 + 1;

  // An empty range at leaf `begin`.
  explicit CompactRange(std::uint64_t begin = 0) noexcept : begin_(begin), end_(begin) {}

  // Appends the perfect subtree of 2^height leaves that starts at end(), by its root, and joins it
  // with its left neighbours wherever two make a node of the level above. Returns false, changing
  // nothing, when end() is not a multiple of 2^height or the range would pass leaf 2^64 - 1.
  [[nodiscard]] bool append(const Hash32& root, unsigned height) noexcept;

  // Appends a leaf hash; false when the range already ends at leaf 2^64 - 1.
  [[nodiscard]] bool append_leaf(const Hash32& leaf_hash) noexcept { return append(leaf_hash, 0); }

  // Appends every node of `next`, which must start at end(). Returns false, changing nothing, when
  // it does not. The two ranges' nodes are all aligned, so joining them never fails otherwise.
  [[nodiscard]] bool append(const CompactRange& next) noexcept;

  [[nodiscard]] std::uint64_t begin() const noexcept { return begin_; }
  [[nodiscard]] std::uint64_t end() const noexcept { return end_; }
  [[nodiscard]] bool empty() const noexcept { return begin_ == end_; }

  // The covering nodes, left to right.
  [[nodiscard]] std::span<const SubtreeNode> nodes() const noexcept { return {nodes_.data(), count_}; }

  // Returns the root of the range when it is one perfect aligned subtree (2^h leaves starting at a
  // multiple of 2^h); nothing otherwise. Such roots from separate workers join with append().
  [[nodiscard]] std::optional<Hash32> subtree_root() const noexcept;

 private:
  std::uint64_t begin_, end_;
  std::size_t count_ = 0;
  std::array<SubtreeNode, MAX_NODES> nodes_{};
};

// The most leaves perfect_subtree_root takes at once.
inline constexpr std::size_t MAX_SUBTREE_RUN = 64;

// Returns the root of the perfect subtree whose leaf hashes are `leaves`, a power of two of them
// and at most MAX_SUBTREE_RUN: level by level, the nodes of a level hashed four at a time.
[[nodiscard]] Hash32 perfect_subtree_root(std::span<const Hash32> leaves) noexcept;

// The nodes an inclusion path holds on either side of leaf `leaf_index` of a tree of `tree_size`.
struct PathSides {
  CompactRange before;                 // the left siblings: [0, leaf_index)
  std::array<Hash32, 64> after{};      // the right siblings, from the leaf upward
  std::uint8_t after_count = 0;
};

// Returns the path split into its two sides when its length fits the leaf's place in the tree
// (the walk of verify_inclusion_path would consume it exactly); nothing otherwise.
[[nodiscard]] std::optional<PathSides> split_path(std::uint64_t leaf_index, std::uint64_t tree_size,
                                                  std::span<const Hash32> path) noexcept;

// Returns the root of a tree of `tree_size` leaves from the nodes covering [0, e), e = before.end()
// and 0 < e <= tree_size, and the right siblings of leaf e - 1 (none when e = tree_size), as
// split_path gives them. Nothing when `before` does not start at 0, e is outside the tree, or
// `after` holds more or fewer hashes than leaf e - 1 has right siblings.
[[nodiscard]] std::optional<Hash32> root_from_sides(const CompactRange& before, std::span<const Hash32> after,
                                                    std::uint64_t tree_size) noexcept;

// Returns the root of the first m leaves of any tree that leaf m's path belongs to, from the nodes
// covering [0, m): its left siblings, folded from the right. SHA-256 of nothing for m = 0, the
// root of an empty tree.
[[nodiscard]] Hash32 root_of_prefix(const CompactRange& before) noexcept;

}  // namespace halyx::merkle
