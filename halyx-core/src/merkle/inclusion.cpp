#include <halyx/merkle/inclusion.hpp>

#include <algorithm>
#include <cstddef>

#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/leaf_hash.hpp>

namespace halyx::merkle {
namespace {

constexpr std::uint8_t NODE_PREFIX = 0x01;

// 0x01, left child, right child: one buffer rewritten for every level of a walk.
using NodePreimage = std::array<std::uint8_t, 1 + 2 * std::tuple_size_v<Hash32>>;
constexpr std::size_t LEFT_AT = 1;
constexpr std::size_t RIGHT_AT = LEFT_AT + std::tuple_size_v<Hash32>;

Hash32 hash_children(NodePreimage& scratch, const Hash32& left, const Hash32& right) {
  scratch[0] = NODE_PREFIX;
  std::copy(left.begin(), left.end(), scratch.begin() + LEFT_AT);
  std::copy(right.begin(), right.end(), scratch.begin() + RIGHT_AT);
  return digest::sha256(ByteView(scratch));
}

}  // namespace

Hash32 node_hash(const Hash32& left, const Hash32& right) {
  NodePreimage scratch{};
  return hash_children(scratch, left, right);
}

bool verify_inclusion_proof(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                            const Hash32& root_hash) {
  return verify_inclusion_path(leaf_hash, proof.leaf_index, proof.tree_size, proof.inclusion_path, root_hash);
}

bool verify_inclusion_path(const Hash32& leaf_hash, std::uint64_t leaf_index, std::uint64_t tree_size,
                           std::span<const Hash32> path, const Hash32& root_hash) {
  // Also refuses every index of an empty tree, and keeps tree_size - 1 from wrapping.
  if (leaf_index >= tree_size) return false;

  // fn is the index of r's node within its level and sn that of the level's last node; when sn
  // reaches 0 the walk is at the root. A last node with an even index has no right sibling (the right
  // edge of an unbalanced tree): it moves up unchanged until it is a right child, so its next path
  // element is the left sibling at that level.
  std::uint64_t fn = leaf_index;
  std::uint64_t sn = tree_size - 1;
  Hash32 r = leaf_hash;
  NodePreimage scratch{};
  for (const Hash32& p : path) {
    if (sn == 0) return false;  // more elements than the tree has levels
    if ((fn & 1) != 0 || fn == sn) {
      r = hash_children(scratch, p, r);
      // Skip the levels the node moved up through without a sibling.
      while (fn != 0 && (fn & 1) == 0) {
        fn >>= 1;
        sn >>= 1;
      }
    } else {
      r = hash_children(scratch, r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  // sn > 0 here means the path ended below the root.
  return sn == 0 && r == root_hash;
}

bool verify_leaf_in_tree(const leaf::MtacLeaf& leaf, const wire::InclusionProof& proof,
                         const wire::SignedTreeHead& sth) {
  const Hash32 hash = leaf_hash(leaf, sth.log_id);
  if (!verify_inclusion_proof(hash, proof, sth.root_hash)) return false;
  // The proof's own tree size shapes the walk, and may differ from the STH's when both trees give
  // the leaf the same path. But a path can also fit a smaller tree in which the leaf sits elsewhere:
  // leaf 4 of 5, whose one sibling is the root of leaves 0-3, walks to the same root as leaf 1 of 2.
  // The index the caller is told must be the leaf's index in the STH's tree, so a proof stating
  // another size must also walk to the root under the STH's size.
  return proof.tree_size == sth.tree_size ||
         verify_inclusion_path(hash, proof.leaf_index, sth.tree_size, proof.inclusion_path, sth.root_hash);
}

}  // namespace halyx::merkle
