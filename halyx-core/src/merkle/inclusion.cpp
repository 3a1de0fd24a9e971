#include <halyx/merkle/inclusion.hpp>

#include <algorithm>
#include <cstddef>

#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/leaf_hash.hpp>

namespace halyx::merkle {
namespace {

constexpr std::uint8_t NODE_PREFIX = 0x01;

// The shape of a walk: for the leaf at `leaf_index` of a tree of `tree_size` leaves and a path of
// `path_size` elements, sets bit i of `on_left` when path element i is the left child at its level.
// Returns false when no such path leads to the root: an index outside the tree, or a path too long
// or too short for it. A path that fits has at most 64 elements.
bool walk_shape(std::uint64_t leaf_index, std::uint64_t tree_size, std::size_t path_size, std::uint64_t& on_left) noexcept {
  // Also refuses every index of an empty tree, and keeps tree_size - 1 from wrapping.
  if (leaf_index >= tree_size) return false;

  // fn is the index of the walk's node within its level and sn that of the level's last node; when
  // sn reaches 0 the walk is at the root. A last node with an even index has no right sibling (the
  // right edge of an unbalanced tree): it moves up unchanged until it is a right child, so its next
  // path element is the left sibling at that level.
  std::uint64_t fn = leaf_index;
  std::uint64_t sn = tree_size - 1;
  on_left = 0;
  for (std::size_t i = 0; i < path_size; ++i) {
    if (sn == 0) return false;  // more elements than the tree has levels
    if ((fn & 1) != 0 || fn == sn) {
      on_left |= std::uint64_t{1} << i;
      // Skip the levels the node moved up through without a sibling.
      while (fn != 0 && (fn & 1) == 0) {
        fn >>= 1;
        sn >>= 1;
      }
    }
    fn >>= 1;
    sn >>= 1;
  }
  // sn > 0 here means the path ended below the root.
  return sn == 0;
}

// The node hashes of a walk on their own.
struct Chain {
  Hash32 operator()(const Hash32& start, std::span<const Hash32> path, std::uint64_t on_left) const noexcept {
    return digest::sha256_pair_chain(NODE_PREFIX, start, path, on_left);
  }
};

// The node hashes of a walk with another message's digest taken beside them.
struct ChainBeside {
  digest::Sha256Beside& beside;
  Hash32 operator()(const Hash32& start, std::span<const Hash32> path, std::uint64_t on_left) const noexcept {
    return beside.pair_chain(NODE_PREFIX, start, path, on_left);
  }
};

// verify_inclusion_path, with `chain` giving the node hashes.
template <class NodeChain>
bool walk(const Hash32& leaf_hash, std::uint64_t leaf_index, std::uint64_t tree_size, std::span<const Hash32> path,
          const Hash32& root_hash, const NodeChain& chain) noexcept {
  std::uint64_t on_left = 0;
  if (!walk_shape(leaf_index, tree_size, path.size(), on_left)) return false;
  return chain(leaf_hash, path, on_left) == root_hash;
}

// verify_leaf_hash_in_tree, with `chain` giving the node hashes.
template <class NodeChain>
bool leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof, const wire::SignedTreeHead& sth,
                       const NodeChain& chain) noexcept {
  if (!walk(leaf_hash, proof.leaf_index, proof.tree_size, proof.inclusion_path, sth.root_hash, chain)) return false;
  // The proof's own tree size shapes the walk, and may differ from the STH's when both trees give
  // the leaf the same path. But a path can also fit a smaller tree in which the leaf sits elsewhere:
  // leaf 4 of 5, whose one sibling is the root of leaves 0-3, walks to the same root as leaf 1 of 2.
  // The index the caller is told must be the leaf's index in the STH's tree, so a proof stating
  // another size must also walk to the root under the STH's size.
  return proof.tree_size == sth.tree_size ||
         walk(leaf_hash, proof.leaf_index, sth.tree_size, proof.inclusion_path, sth.root_hash, chain);
}

}  // namespace

Hash32 node_hash(const Hash32& left, const Hash32& right) {
  return digest::sha256_pair_chain(NODE_PREFIX, left, std::span(&right, 1), 0);
}

bool verify_inclusion_proof(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                            const Hash32& root_hash) {
  return verify_inclusion_path(leaf_hash, proof.leaf_index, proof.tree_size, proof.inclusion_path, root_hash);
}

bool verify_inclusion_path(const Hash32& leaf_hash, std::uint64_t leaf_index, std::uint64_t tree_size,
                           std::span<const Hash32> path, const Hash32& root_hash) {
  return walk(leaf_hash, leaf_index, tree_size, path, root_hash, Chain{});
}

bool verify_leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                              const wire::SignedTreeHead& sth) {
  return leaf_hash_in_tree(leaf_hash, proof, sth, Chain{});
}

bool verify_leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                              const wire::SignedTreeHead& sth, digest::Sha256Beside& beside) {
  return leaf_hash_in_tree(leaf_hash, proof, sth, ChainBeside{beside});
}

bool verify_leaf_in_tree(const leaf::MtacLeaf& leaf, const wire::InclusionProof& proof,
                         const wire::SignedTreeHead& sth) {
  return verify_leaf_hash_in_tree(leaf_hash(leaf, sth.log_id), proof, sth);
}

}  // namespace halyx::merkle
