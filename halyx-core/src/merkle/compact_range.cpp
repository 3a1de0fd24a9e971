#include <halyx/merkle/compact_range.hpp>

#include <algorithm>

#include <halyx/digest/sha256.hpp>

namespace halyx::merkle {
namespace {

constexpr std::uint8_t NODE_PREFIX = 0x01;
constexpr unsigned MAX_HEIGHT = 63;  // 2^64 leaves would not fit a 64-bit size

Hash32 join(const Hash32& left, const Hash32& right) noexcept {
  return digest::sha256({ByteView(&NODE_PREFIX, 1), left, right});
}

}  // namespace

Hash32 perfect_subtree_root(std::span<const Hash32> leaves) noexcept {
  constexpr std::size_t NODE_MESSAGE = 1 + 2 * sizeof(Hash32);
  using Preimage = std::array<std::uint8_t, digest::padded_blocks(NODE_MESSAGE) * 64>;
  std::array<Hash32, MAX_SUBTREE_RUN / 2> level;  // node i written before it is read
  std::span<const Hash32> below = leaves.first(std::min(leaves.size(), MAX_SUBTREE_RUN));
  // Each pass writes the level above over the front of `level`: node i is written only once the
  // children 2i and 2i + 1 of it and of the three nodes after it have been read.
  while (below.size() > 1) {
    const std::size_t n = below.size() / 2;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      std::array<Preimage, 4> preimages;  // each written whole below
      std::array<const std::uint8_t*, 4> padded{};
      for (std::size_t l = 0; l < 4; ++l) {
        preimages[l][0] = NODE_PREFIX;
        std::copy(below[2 * (i + l)].begin(), below[2 * (i + l)].end(), preimages[l].begin() + 1);
        std::copy(below[2 * (i + l) + 1].begin(), below[2 * (i + l) + 1].end(), preimages[l].begin() + 1 + sizeof(Hash32));
        (void)digest::pad_in_place(preimages[l].data(), NODE_MESSAGE);
        padded[l] = preimages[l].data();
      }
      std::array<Hash32, 4> nodes{};
      digest::sha256_x4_padded(padded, digest::padded_blocks(NODE_MESSAGE), nodes);
      std::copy(nodes.begin(), nodes.end(), level.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (; i < n; ++i) level[i] = join(below[2 * i], below[2 * i + 1]);
    below = std::span<const Hash32>(level.data(), n);
  }
  return below.empty() ? Hash32{} : below[0];
}

bool CompactRange::append(const Hash32& root, unsigned height) noexcept {
  if (height > MAX_HEIGHT) return false;
  const std::uint64_t size = std::uint64_t{1} << height;
  if ((end_ & (size - 1)) != 0) return false;
  // Compare with what is left rather than computing end_ + size, which could wrap and pass.
  if (size > UINT64_MAX - end_) return false;
  SubtreeNode node{root, end_, static_cast<std::uint8_t>(height)};
  end_ += size;
  // Two neighbours of one height join when the left one starts at a multiple of twice their size:
  // then they are the two children of one node. Otherwise the left one is a right child whose
  // sibling lies before begin(), and nothing to its left can join either.
  while (count_ > 0) {
    const SubtreeNode& left = nodes_[count_ - 1];
    if (left.height != node.height || node.height == MAX_HEIGHT) break;
    if ((left.start & ((std::uint64_t{2} << node.height) - 1)) != 0) break;
    node = SubtreeNode{join(left.hash, node.hash), left.start, static_cast<std::uint8_t>(node.height + 1)};
    --count_;
  }
  // A range holds at most two nodes per level (rising heights, then falling ones), so this never
  // overflows; the check keeps an error elsewhere from writing past the array.
  if (count_ == nodes_.size()) return false;
  nodes_[count_++] = node;
  return true;
}

bool CompactRange::append(const CompactRange& next) noexcept {
  if (next.begin_ != end_) return false;
  // Check the whole of `next` fits before changing anything. Its nodes are aligned where they
  // stand, and end_ is where `next` starts, so each lands on its own start.
  if (next.end_ < next.begin_) return false;
  CompactRange joined = *this;
  for (const SubtreeNode& n : next.nodes()) {
    if (!joined.append(n.hash, n.height)) return false;
  }
  *this = joined;
  return true;
}

std::optional<Hash32> CompactRange::subtree_root() const noexcept {
  if (count_ != 1) return std::nullopt;
  return nodes_[0].hash;
}

std::optional<PathSides> split_path(std::uint64_t leaf_index, std::uint64_t tree_size,
                                    std::span<const Hash32> path) noexcept {
  if (leaf_index >= tree_size) return std::nullopt;
  // The walk of verify_inclusion_path, which also tracks the level: fn is the node's index within
  // its level and sn that of the level's last node. A left sibling is the perfect subtree just
  // before the node, a right sibling whatever of the tree lies just after it.
  std::uint64_t fn = leaf_index, sn = tree_size - 1;
  unsigned level = 0;
  std::array<SubtreeNode, 64> left{};
  std::size_t left_count = 0;
  PathSides sides;
  for (const Hash32& p : path) {
    if (sn == 0) return std::nullopt;
    if ((fn & 1) != 0 || fn == sn) {
      // A last node with an even index has no sibling at its level: it rises unchanged until it
      // is a right child.
      while (fn != 0 && (fn & 1) == 0) {
        fn >>= 1;
        sn >>= 1;
        ++level;
      }
      left[left_count++] = SubtreeNode{p, (fn - 1) << level, static_cast<std::uint8_t>(level)};
    } else {
      sides.after[sides.after_count++] = p;
    }
    fn >>= 1;
    sn >>= 1;
    ++level;
  }
  if (sn != 0) return std::nullopt;
  // The path holds them from the leaf upward, the range left to right: the largest first.
  for (std::size_t i = left_count; i-- > 0;) {
    if (!sides.before.append(left[i].hash, left[i].height)) return std::nullopt;
  }
  if (sides.before.end() != leaf_index) return std::nullopt;  // cannot happen for a walk that fit
  return sides;
}

std::optional<Hash32> root_from_sides(const CompactRange& before, std::span<const Hash32> after,
                                      std::uint64_t tree_size) noexcept {
  const std::uint64_t end = before.end();
  if (before.begin() != 0 || end == 0 || end > tree_size) return std::nullopt;
  const std::span<const SubtreeNode> nodes = before.nodes();
  // The covering nodes of [0, end) have falling heights, one per set bit of end; leaf end - 1 is
  // the last leaf of the smallest, so up to that height its left siblings are already inside it.
  std::size_t left = nodes.size() - 1;
  Hash32 r = nodes[left].hash;
  unsigned level = nodes[left].height;
  std::uint64_t fn = (end - 1) >> level;
  std::uint64_t sn = (tree_size - 1) >> level;
  std::size_t right = 0;
  while (sn != 0) {
    if ((fn & 1) != 0) {
      if (left == 0) return std::nullopt;
      const SubtreeNode& sibling = nodes[--left];
      if (sibling.height != level) return std::nullopt;
      r = join(sibling.hash, r);
    } else if (fn != sn) {
      if (right == after.size()) return std::nullopt;
      r = join(r, after[right++]);
    }
    // else: the last node of its level, with no sibling, rises unchanged.
    fn >>= 1;
    sn >>= 1;
    ++level;
  }
  if (left != 0 || right != after.size()) return std::nullopt;
  return r;
}

Hash32 root_of_prefix(const CompactRange& before) noexcept {
  const std::span<const SubtreeNode> nodes = before.nodes();
  if (nodes.empty()) return digest::sha256(ByteView{});
  Hash32 r = nodes.back().hash;
  for (std::size_t i = nodes.size() - 1; i-- > 0;) r = join(nodes[i].hash, r);
  return r;
}

}  // namespace halyx::merkle
