// Tests of the Merkle inclusion walk: small trees drawn by hand, third-party RFC 9162 vectors, trees
// from an independent Python builder, and named mutations of every valid proof.
#include <halyx/merkle/inclusion.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <halyx/digest/sha256.hpp>

namespace halyx::merkle {
namespace {

using digest::sha256;
using wire::InclusionProof;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

Hash32 leaf(std::uint8_t i) { return sha256(ByteView(&i, 1)); }

TEST(LeafDomainTag, IsTheVersionedTextWithLineFeedAndTwoZeros) {
  using namespace std::string_view_literals;
  const ByteView want = as_bytes("halyx-leaf/v1\n\0\0"sv);
  ASSERT_EQ(want.size(), 16u);
  EXPECT_TRUE(std::ranges::equal(LEAF_DOMAIN_TAG, want));
}

TEST(NodeHash, IsSha256OfPrefixLeftRight) {
  const std::uint8_t prefix = 0x01;
  EXPECT_EQ(node_hash(leaf(1), leaf(2)), sha256({ByteView(&prefix, 1), leaf(1), leaf(2)}));
  EXPECT_NE(node_hash(leaf(1), leaf(2)), node_hash(leaf(2), leaf(1)));
}

TEST(InclusionWalkRefuses, IndexOutsideTheTree) {
  const Hash32 l = leaf(0);
  for (const auto& [size, index] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
           {0, 0}, {0, 5}, {0, U64_MAX}, {1, 1}, {5, 5}, {5, 6}, {U64_MAX, U64_MAX}}) {
    SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(index));
    // The root equals the leaf hash, so only the range check can refuse.
    EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{size, index, {}}, l));
    EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{size, index, {leaf(1)}}, node_hash(l, leaf(1))));
  }
}

TEST(InclusionWalk, OneAndTwoLeafTrees) {
  const Hash32 l = leaf(0);
  const Hash32 other = leaf(1);
  EXPECT_TRUE(verify_inclusion_proof(l, InclusionProof{1, 0, {}}, l));
  EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{1, 0, {}}, other));
  // A one-leaf tree has no level above the leaf: any element is one too many.
  EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{1, 0, {other}}, node_hash(other, l)));
  EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{1, 0, {other}}, node_hash(l, other)));
  // A two-leaf tree needs the sibling: an empty path stops below the root.
  EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{2, 0, {}}, l));
  EXPECT_TRUE(verify_inclusion_proof(l, InclusionProof{2, 0, {other}}, node_hash(l, other)));
  EXPECT_TRUE(verify_inclusion_proof(other, InclusionProof{2, 1, {l}}, node_hash(l, other)));
  EXPECT_FALSE(verify_inclusion_proof(l, InclusionProof{2, 1, {other}}, node_hash(l, other)));
}

// The last leaf of five sits alone on the right edge: its path is the single element a, and the
// root is node(a, l4).
/*            root
 *          /      \
 *        a          l4
 *      /   \
 *    b       c
 *   / \     / \
 *  l0  l1  l2  l3
 */
TEST(InclusionWalk, LastLeafOfAnUnbalancedTree) {
  const Hash32 a = node_hash(node_hash(leaf(0), leaf(1)), node_hash(leaf(2), leaf(3)));
  const Hash32 root = node_hash(a, leaf(4));
  EXPECT_TRUE(verify_inclusion_proof(leaf(4), InclusionProof{5, 4, {a}}, root));
  EXPECT_FALSE(verify_inclusion_proof(leaf(4), InclusionProof{5, 4, {}}, root));
  EXPECT_FALSE(verify_inclusion_proof(leaf(4), InclusionProof{5, 4, {a, a}}, root));
  EXPECT_FALSE(verify_inclusion_proof(leaf(4), InclusionProof{5, 3, {a}}, root));
}

// Leaf 0 of three takes [l1, l2], both on its right. Walked as a tree of four, the same path hashes
// the same way (l2 then stands where the node of l2 and l3 would), so the proof also passes with
// tree_size 4: only the root is matched, never the size.
/*        root3
 *       /     \
 *     n01      l2
 *    /   \
 *   l0    l1
 */
TEST(InclusionWalk, LeafZeroOfThreeAlsoWalksAsFour) {
  const Hash32 root3 = node_hash(node_hash(leaf(0), leaf(1)), leaf(2));
  EXPECT_TRUE(verify_inclusion_proof(leaf(0), InclusionProof{3, 0, {leaf(1), leaf(2)}}, root3));
  EXPECT_TRUE(verify_inclusion_proof(leaf(0), InclusionProof{4, 0, {leaf(1), leaf(2)}}, root3));
  // Leaf 2 of three is not so lucky: as a tree of four it would need a right sibling.
  const Hash32 n01 = node_hash(leaf(0), leaf(1));
  EXPECT_TRUE(verify_inclusion_proof(leaf(2), InclusionProof{3, 2, {n01}}, root3));
  EXPECT_FALSE(verify_inclusion_proof(leaf(2), InclusionProof{4, 2, {n01}}, root3));
}

// ---- Cases from files ----

struct Case {
  std::string name;
  bool valid = true;
  InclusionProof proof;
  Hash32 leaf_hash{};
  Hash32 root{};
};

Hash32 parse_hash(std::string_view hex) {
  EXPECT_EQ(hex.size(), 64u) << hex;
  Hash32 h{};
  for (std::size_t i = 0; i < h.size() && 2 * i + 1 < hex.size(); ++i) {
    h[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return h;
}

std::vector<std::string> data_lines(const std::string& file) {
  std::ifstream in(std::string(HALYX_TEST_DATA_DIR) + "/" + file);
  EXPECT_TRUE(in.is_open()) << file;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

// rfc9162_vectors.txt: <name> <valid|invalid> <tree_size> <leaf_index> <leaf_hash> <root> [<path>...]
std::vector<Case> rfc9162_vectors() {
  std::vector<Case> cases;
  for (const std::string& line : data_lines("merkle/rfc9162_vectors.txt")) {
    std::istringstream f(line);
    Case c;
    std::string verdict, leaf_hex, root_hex;
    f >> c.name >> verdict >> c.proof.tree_size >> c.proof.leaf_index >> leaf_hex >> root_hex;
    EXPECT_FALSE(f.fail()) << line;
    c.valid = verdict == "valid";
    c.leaf_hash = parse_hash(leaf_hex);
    c.root = parse_hash(root_hex);
    for (std::string hex; f >> hex;) c.proof.inclusion_path.push_back(parse_hash(hex));
    cases.push_back(std::move(c));
  }
  return cases;
}

// merkle_trees.txt: "node <id> <hex>" lines, then "case <tree_size> <leaf_index> <leaf id> <root id> <path ids>".
std::vector<Case> generated_trees() {
  std::vector<Hash32> nodes;
  std::vector<Case> cases;
  for (const std::string& line : data_lines("merkle/merkle_trees.txt")) {
    std::istringstream f(line);
    std::string kind;
    f >> kind;
    if (kind == "node") {
      std::size_t id = 0;
      std::string hex;
      f >> id >> hex;
      EXPECT_EQ(id, nodes.size());
      nodes.push_back(parse_hash(hex));
      continue;
    }
    Case c;
    std::size_t leaf_id = 0, root_id = 0;
    f >> c.proof.tree_size >> c.proof.leaf_index >> leaf_id >> root_id;
    EXPECT_FALSE(f.fail()) << line;
    c.name = "size " + std::to_string(c.proof.tree_size) + " index " + std::to_string(c.proof.leaf_index);
    c.leaf_hash = nodes.at(leaf_id);
    c.root = nodes.at(root_id);
    for (std::size_t id = 0; f >> id;) c.proof.inclusion_path.push_back(nodes.at(id));
    cases.push_back(std::move(c));
  }
  return cases;
}

// Each mutation of a valid proof must fail. `other_root` is the root of a tree of another size.
void expect_mutations_fail(const Case& c, const Hash32& other_root) {
  const auto refused = [&](std::string_view mutation, const Hash32& leaf_hash, const InclusionProof& p,
                           const Hash32& root) {
    EXPECT_FALSE(verify_inclusion_proof(leaf_hash, p, root)) << c.name << ": " << mutation << " passed";
  };
  const std::vector<Hash32>& path = c.proof.inclusion_path;
  for (std::size_t i = 0; i < path.size(); ++i) {
    InclusionProof removed = c.proof;
    removed.inclusion_path.erase(removed.inclusion_path.begin() + static_cast<std::ptrdiff_t>(i));
    refused("removed-path[" + std::to_string(i) + "]", c.leaf_hash, removed, c.root);

    InclusionProof flipped = c.proof;
    flipped.inclusion_path[i][i % 32] ^= static_cast<std::uint8_t>(1u << (i % 8));
    refused("flipped-bit-path[" + std::to_string(i) + "]", c.leaf_hash, flipped, c.root);
  }
  for (const Hash32& extra : {c.root, c.leaf_hash, Hash32{}}) {
    InclusionProof appended = c.proof;
    appended.inclusion_path.push_back(extra);
    refused("appended-element", c.leaf_hash, appended, c.root);
  }
  InclusionProof index_plus = c.proof;
  index_plus.leaf_index += 1;
  refused("leaf-index-plus-1", c.leaf_hash, index_plus, c.root);
  InclusionProof index_minus = c.proof;
  index_minus.leaf_index -= 1;  // from 0 this wraps to 2^64 - 1, outside every tree
  refused("leaf-index-minus-1", c.leaf_hash, index_minus, c.root);

  Hash32 other_leaf = c.leaf_hash;
  other_leaf[31] ^= 0x01;
  refused("flipped-bit-leaf", other_leaf, c.proof, c.root);
  refused("root-of-another-size", c.leaf_hash, c.proof, other_root);
}

// Returns, for each case, the root of the nearest case with another tree size.
std::vector<Hash32> roots_of_other_sizes(const std::vector<Case>& cases) {
  std::map<std::uint64_t, Hash32> by_size;
  for (const Case& c : cases) {
    if (c.valid) by_size.emplace(c.proof.tree_size, c.root);
  }
  std::vector<Hash32> out;
  for (const Case& c : cases) {
    auto it = by_size.upper_bound(c.proof.tree_size);
    if (it == by_size.end()) it = by_size.begin();
    out.push_back(it->second);
  }
  return out;
}

// Third-party RFC 9162 vectors. Entries of merkle_inclusion.json with a leaf hash, root or path
// element that is not 32 bytes were left out when the file was converted (26, all invalid): our
// decoders only produce 32-byte hashes, so such a value never reaches the walk.
TEST(InclusionWalkVectors, Rfc9162VectorsAgreeWithTheirVerdict) {
  const std::vector<Case> cases = rfc9162_vectors();
  int valid = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(verify_inclusion_proof(c.leaf_hash, c.proof, c.root), c.valid) << c.name;
    valid += c.valid ? 1 : 0;
  }
  EXPECT_EQ(cases.size(), 296u);
  EXPECT_EQ(valid, 225);
}

TEST(InclusionWalkVectors, Rfc9162VectorsFailWhenMutated) {
  const std::vector<Case> cases = rfc9162_vectors();
  const std::vector<Hash32> others = roots_of_other_sizes(cases);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].valid) expect_mutations_fail(cases[i], others[i]);
  }
}

// Trees from make_merkle_trees.py: every index of sizes 1..64, and sparse indices of sizes
// 2^20 + 3, 2^32 + 1, 2^63 + 5 and 2^64 - 1.
TEST(InclusionWalkGenerated, EveryPathLeadsToItsRoot) {
  const std::vector<Case> cases = generated_trees();
  ASSERT_EQ(cases.size(), 2109u);
  for (const Case& c : cases) EXPECT_TRUE(verify_inclusion_proof(c.leaf_hash, c.proof, c.root)) << c.name;
}

// The single call's walk, with a 1952-byte key hashed beside its nodes: the same verdict on every
// generated path, and the key's own digest, whatever the path's length leaves of the key.
TEST(InclusionWalkGenerated, TheWalkBesideAKeyLeadsToTheSameRoot) {
  const std::vector<std::uint8_t> key(1952, 0x6B);
  const Hash32 key_digest = digest::sha256(ByteView(key.data(), key.size()));
  for (const Case& c : generated_trees()) {
    wire::SignedTreeHead sth;
    sth.tree_size = c.proof.tree_size;
    sth.root_hash = c.root;
    digest::Sha256Beside beside(ByteView(key.data(), key.size()));
    EXPECT_TRUE(verify_leaf_hash_in_tree(c.leaf_hash, c.proof, sth, beside)) << c.name;
    ASSERT_EQ(beside.finish(), key_digest) << c.name;
    sth.root_hash[0] ^= 1;
    digest::Sha256Beside again(ByteView(key.data(), key.size()));
    EXPECT_FALSE(verify_leaf_hash_in_tree(c.leaf_hash, c.proof, sth, again)) << c.name;
  }
}

TEST(InclusionWalkGenerated, EveryMutationFails) {
  const std::vector<Case> cases = generated_trees();
  const std::vector<Hash32> others = roots_of_other_sizes(cases);
  for (std::size_t i = 0; i < cases.size(); ++i) expect_mutations_fail(cases[i], others[i]);
}

}  // namespace
}  // namespace halyx::merkle
