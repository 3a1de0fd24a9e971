#include <halyx/merkle/inclusion.hpp>

#include <algorithm>
#include <cstddef>

#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/leaf_hash.hpp>

namespace halyx::merkle {
namespace {

constexpr std::uint8_t NODE_PREFIX = 0x01;

// 0x01, left child, right child, and the padding of those 65 bytes: the two blocks the block
// function takes, written whole once, then only the children for every level of a walk.
class NodePreimage {
 public:
  static constexpr std::size_t LENGTH = 1 + 2 * std::tuple_size_v<Hash32>;
  static constexpr std::size_t BLOCKS = digest::padded_blocks(LENGTH);

  NodePreimage() noexcept {
    bytes_[0] = NODE_PREFIX;
    digest::pad_in_place(bytes_.data(), LENGTH);
  }
  // Sets the children; the bytes() are then the node's padded preimage.
  const std::uint8_t* set(const Hash32& left, const Hash32& right) noexcept {
    std::copy(left.begin(), left.end(), bytes_.begin() + 1);
    std::copy(right.begin(), right.end(), bytes_.begin() + 1 + left.size());
    return bytes_.data();
  }

 private:
  std::array<std::uint8_t, BLOCKS * 64> bytes_{};
};

// The node hash of a walk on its own.
struct NodeHasher {
  NodePreimage preimage;
  Hash32 operator()(const Hash32& left, const Hash32& right) noexcept {
    return digest::sha256_padded(preimage.set(left, right), NodePreimage::BLOCKS);
  }
};

// The node hash of a walk with another message's digest taken beside it.
struct NodeHasherBeside {
  NodePreimage preimage;
  digest::Sha256Beside& beside;
  Hash32 operator()(const Hash32& left, const Hash32& right) noexcept {
    return beside.hash_padded(preimage.set(left, right), NodePreimage::BLOCKS);
  }
};

// verify_inclusion_path, with `node` giving each node hash.
template <class Node>
bool walk(const Hash32& leaf_hash, std::uint64_t leaf_index, std::uint64_t tree_size, std::span<const Hash32> path,
          const Hash32& root_hash, Node& node) noexcept {
  // Also refuses every index of an empty tree, and keeps tree_size - 1 from wrapping.
  if (leaf_index >= tree_size) return false;

  // fn is the index of r's node within its level and sn that of the level's last node; when sn
  // reaches 0 the walk is at the root. A last node with an even index has no right sibling (the right
  // edge of an unbalanced tree): it moves up unchanged until it is a right child, so its next path
  // element is the left sibling at that level.
  std::uint64_t fn = leaf_index;
  std::uint64_t sn = tree_size - 1;
  Hash32 r = leaf_hash;
  for (const Hash32& p : path) {
    if (sn == 0) return false;  // more elements than the tree has levels
    if ((fn & 1) != 0 || fn == sn) {
      r = node(p, r);
      // Skip the levels the node moved up through without a sibling.
      while (fn != 0 && (fn & 1) == 0) {
        fn >>= 1;
        sn >>= 1;
      }
    } else {
      r = node(r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  // sn > 0 here means the path ended below the root.
  return sn == 0 && r == root_hash;
}

// verify_leaf_hash_in_tree, with `node` giving each node hash.
template <class Node>
bool leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof, const wire::SignedTreeHead& sth,
                       Node& node) noexcept {
  if (!walk(leaf_hash, proof.leaf_index, proof.tree_size, proof.inclusion_path, sth.root_hash, node)) return false;
  // The proof's own tree size shapes the walk, and may differ from the STH's when both trees give
  // the leaf the same path. But a path can also fit a smaller tree in which the leaf sits elsewhere:
  // leaf 4 of 5, whose one sibling is the root of leaves 0-3, walks to the same root as leaf 1 of 2.
  // The index the caller is told must be the leaf's index in the STH's tree, so a proof stating
  // another size must also walk to the root under the STH's size.
  return proof.tree_size == sth.tree_size ||
         walk(leaf_hash, proof.leaf_index, sth.tree_size, proof.inclusion_path, sth.root_hash, node);
}

}  // namespace

Hash32 node_hash(const Hash32& left, const Hash32& right) {
  NodeHasher node;
  return node(left, right);
}

bool verify_inclusion_proof(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                            const Hash32& root_hash) {
  return verify_inclusion_path(leaf_hash, proof.leaf_index, proof.tree_size, proof.inclusion_path, root_hash);
}

bool verify_inclusion_path(const Hash32& leaf_hash, std::uint64_t leaf_index, std::uint64_t tree_size,
                           std::span<const Hash32> path, const Hash32& root_hash) {
  NodeHasher node;
  return walk(leaf_hash, leaf_index, tree_size, path, root_hash, node);
}

bool verify_leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                              const wire::SignedTreeHead& sth) {
  NodeHasher node;
  return leaf_hash_in_tree(leaf_hash, proof, sth, node);
}

bool verify_leaf_hash_in_tree(const Hash32& leaf_hash, const wire::InclusionProof& proof,
                              const wire::SignedTreeHead& sth, digest::Sha256Beside& beside) {
  NodeHasherBeside node{{}, beside};
  return leaf_hash_in_tree(leaf_hash, proof, sth, node);
}

bool verify_leaf_in_tree(const leaf::MtacLeaf& leaf, const wire::InclusionProof& proof,
                         const wire::SignedTreeHead& sth) {
  return verify_leaf_hash_in_tree(leaf_hash(leaf, sth.log_id), proof, sth);
}

}  // namespace halyx::merkle
