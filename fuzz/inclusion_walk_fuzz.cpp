// inclusion_walk_fuzz.cpp: verify_inclusion_proof on arbitrary proofs, against a reference walk.
//
// The reference follows the audit path's recursive definition instead of the index arithmetic of
// the walk under test: a tree of n > 1 leaves splits at the largest power of two k below n, the
// leaf lies in the left part (its sibling, the right part, comes later in the path) or in the
// right part (the sibling is the left part). Reading those splits from the top down gives the
// path's length and, for each element, on which side it is hashed. Node hashes are computed here
// with libcrypto directly, not with the code under test.
//
// For every input: the walk agrees with the reference; it refuses an index outside the tree and a
// path whose length the tree does not allow. Then a valid proof is built for the drawn leaf (the
// input supplies the sibling hashes) and must verify; with an element added, removed or altered it
// must not; under another index or tree size it must give the reference's answer.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include <halyx/merkle/inclusion.hpp>
#include <halyx/serialization/inclusion_proof.hpp>

namespace {

using halyx::ByteView;
using halyx::Hash32;
using halyx::fuzz::require;
using halyx::wire::InclusionProof;

constexpr std::size_t MAX_PATH = 70;  // more than the 64 levels any 64-bit tree size allows

Hash32 reference_node(const Hash32& left, const Hash32& right) {
  std::uint8_t preimage[65];
  preimage[0] = 0x01;
  std::copy(left.begin(), left.end(), preimage + 1);
  std::copy(right.begin(), right.end(), preimage + 33);
  Hash32 out{};
  unsigned int len = 0;
  require(EVP_Digest(preimage, sizeof preimage, out.data(), &len, EVP_sha256(), nullptr) == 1 && len == 32,
          "libcrypto SHA-256 failed");
  return out;
}

// For a leaf of a tree of `size` leaves, whether each path element, from the leaf's sibling up,
// is the right-hand child. Empty when the index is outside the tree (check that first).
std::vector<bool> sibling_on_right(std::uint64_t index, std::uint64_t size) {
  std::vector<bool> top_down;
  while (size > 1) {
    const std::uint64_t split = std::bit_floor(size - 1);  // the largest power of two below size
    if (index < split) {
      top_down.push_back(true);
      size = split;
    } else {
      top_down.push_back(false);
      index -= split;
      size -= split;
    }
  }
  return {top_down.rbegin(), top_down.rend()};
}

Hash32 reference_root(const Hash32& leaf, const std::vector<bool>& right, const std::vector<Hash32>& path) {
  Hash32 r = leaf;
  for (std::size_t i = 0; i < path.size(); ++i) r = right[i] ? reference_node(r, path[i]) : reference_node(path[i], r);
  return r;
}

bool reference_verify(const Hash32& leaf, std::uint64_t index, std::uint64_t size, const std::vector<Hash32>& path,
                      const Hash32& root) {
  if (index >= size) return false;
  const std::vector<bool> right = sibling_on_right(index, size);
  if (path.size() != right.size()) return false;
  return reference_root(leaf, right, path) == root;
}

bool walk(const Hash32& leaf, std::uint64_t index, std::uint64_t size, const std::vector<Hash32>& path,
          const Hash32& root) {
  const bool got = halyx::merkle::verify_inclusion_proof(leaf, InclusionProof{size, index, path}, root);
  require(got == halyx::merkle::verify_inclusion_path(leaf, index, size, path, root),
          "the two entry points of the walk disagree");
  return got;
}

Hash32 consume_hash(FuzzedDataProvider& fdp) {
  Hash32 h{};
  fdp.ConsumeData(h.data(), h.size());
  return h;
}

// Tree sizes: small trees, where most shapes occur, as well as the whole 64-bit range.
std::uint64_t consume_size(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      return fdp.ConsumeIntegralInRange<std::uint64_t>(0, 70);
    case 1:
      return fdp.ConsumeIntegralInRange<std::uint64_t>(0, std::uint64_t{1} << 20);
    default:
      return fdp.ConsumeIntegral<std::uint64_t>();
  }
}

// Indices mostly inside the tree, and also at and just past its end, or anywhere.
std::uint64_t consume_index(FuzzedDataProvider& fdp, std::uint64_t size) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return size == 0 ? 0 : fdp.ConsumeIntegralInRange<std::uint64_t>(0, size - 1);
    case 1:
      return size;
    case 2:
      return size - 1;  // wraps for an empty tree, on purpose
    default:
      return fdp.ConsumeIntegral<std::uint64_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::uint64_t tree_size = consume_size(fdp);
  const std::uint64_t index = consume_index(fdp, tree_size);
  const Hash32 leaf = consume_hash(fdp);
  const Hash32 root = consume_hash(fdp);
  std::vector<Hash32> path(fdp.ConsumeIntegralInRange<std::size_t>(0, MAX_PATH));
  for (Hash32& h : path) h = consume_hash(fdp);

  // Arbitrary proof and root: the walk must agree with the reference, whatever the shape.
  const bool got = walk(leaf, index, tree_size, path, root);
  require(got == reference_verify(leaf, index, tree_size, path, root), "walk disagrees with the reference");
  if (index >= tree_size) {
    require(!got, "accepted an index outside the tree");
    return 0;
  }
  const std::vector<bool> right = sibling_on_right(index, tree_size);
  if (path.size() != right.size()) require(!got, "accepted a path of a length the tree does not allow");

  // A valid proof for this leaf: the input's hashes as siblings, the root computed from them.
  std::vector<Hash32> valid(right.size());
  for (std::size_t i = 0; i < valid.size(); ++i) {
    valid[i] = i < path.size() ? path[i] : reference_node(leaf, Hash32{static_cast<std::uint8_t>(i)});
  }
  const Hash32 valid_root = reference_root(leaf, right, valid);
  require(walk(leaf, index, tree_size, valid, valid_root), "a valid proof was refused");

  std::vector<Hash32> longer = valid;
  longer.push_back(consume_hash(fdp));
  require(!walk(leaf, index, tree_size, longer, valid_root), "accepted a valid path with an element appended");
  if (!valid.empty()) {
    std::vector<Hash32> shorter = valid;
    shorter.pop_back();
    require(!walk(leaf, index, tree_size, shorter, valid_root), "accepted a valid path with its last element removed");

    std::vector<Hash32> altered = valid;
    const auto at = fdp.ConsumeIntegralInRange<std::size_t>(0, altered.size() - 1);
    const auto bit = fdp.ConsumeIntegralInRange<unsigned>(0, 255);
    altered[at][bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    require(!walk(leaf, index, tree_size, altered, valid_root), "accepted a valid path with one bit flipped");
  }
  Hash32 other_leaf = leaf;
  other_leaf[0] ^= 0x80;
  require(!walk(other_leaf, index, tree_size, valid, valid_root), "accepted another leaf on a valid path");

  // Another index or tree size may still fit the same path (leaf 0 of 3 walks like leaf 0 of 4).
  const std::uint64_t other_size = consume_size(fdp);
  const std::uint64_t other_index = consume_index(fdp, other_size);
  require(walk(leaf, other_index, tree_size, valid, valid_root) ==
              reference_verify(leaf, other_index, tree_size, valid, valid_root),
          "walk under another index disagrees with the reference");
  require(walk(leaf, index, other_size, valid, valid_root) == reference_verify(leaf, index, other_size, valid, valid_root),
          "walk under another tree size disagrees with the reference");
  require(walk(leaf, other_index, other_size, valid, valid_root) ==
              reference_verify(leaf, other_index, other_size, valid, valid_root),
          "walk under another index and tree size disagrees with the reference");
  return 0;
}
