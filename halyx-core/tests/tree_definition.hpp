// tree_definition.hpp (tests only): roots, inclusion paths and proofs computed from the recursive
// definition of the tree hash, splitting at the largest power of two below the size, as the
// definition reads. Nothing here shares code with the verifier.
#pragma once

#include <cstdint>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/digest/sha256.hpp>

namespace halyx::test {

inline Hash32 definition_node(const Hash32& l, const Hash32& r) {
  const std::uint8_t one = 0x01;
  return digest::sha256({ByteView(&one, 1), l, r});
}

inline std::uint64_t split_of(std::uint64_t n) {
  std::uint64_t k = 1;
  while (k * 2 < n) k *= 2;
  return k;
}

// The tree hash of leaves [b, e), by the definition.
inline Hash32 definition_root(const std::vector<Hash32>& leaves, std::uint64_t b, std::uint64_t e) {
  if (e == b) return digest::sha256(ByteView{});
  if (e - b == 1) return leaves[b];
  const std::uint64_t k = split_of(e - b);
  return definition_node(definition_root(leaves, b, b + k), definition_root(leaves, b + k, e));
}

// The inclusion path of leaf m among leaves [b, e), by the definition: the sibling first.
inline std::vector<Hash32> definition_path(const std::vector<Hash32>& leaves, std::uint64_t m, std::uint64_t b,
                                           std::uint64_t e) {
  if (e - b <= 1) return {};
  const std::uint64_t k = split_of(e - b);
  std::vector<Hash32> path;
  if (m < b + k) {
    path = definition_path(leaves, m, b, b + k);
    path.push_back(definition_root(leaves, b + k, e));
  } else {
    path = definition_path(leaves, m, b + k, e);
    path.push_back(definition_root(leaves, b, b + k));
  }
  return path;
}

// A wire-v1 inclusion proof: array(3) of tree_size, leaf_index and the path.
inline ByteString encode_proof(std::uint64_t tree_size, std::uint64_t leaf_index, const std::vector<Hash32>& path) {
  ByteString out{0x83};
  const auto head = [&](std::uint8_t major, std::uint64_t v) {
    const std::uint8_t m = static_cast<std::uint8_t>(major << 5);
    if (v < 24) {
      out.push_back(static_cast<std::uint8_t>(m | v));
      return;
    }
    int n = v < 0x100 ? 1 : v < 0x10000 ? 2 : v < 0x100000000 ? 4 : 8;
    out.push_back(static_cast<std::uint8_t>(m | (n == 1 ? 24 : n == 2 ? 25 : n == 4 ? 26 : 27)));
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  head(0, tree_size);
  head(0, leaf_index);
  head(4, path.size());
  for (const Hash32& h : path) {
    head(2, 32);
    out.insert(out.end(), h.begin(), h.end());
  }
  return out;
}

}  // namespace halyx::test
