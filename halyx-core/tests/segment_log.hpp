// segment_log.hpp (tests only): small logs built from the recursive definition of the tree hash,
// signed by a key of their own, for the segment verifier's tests. Nothing here shares code with
// the verifier: roots and inclusion paths are computed by splitting at the largest power of two
// below the size, as the definition reads.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include <halyx/checked_sth.hpp>
#include <halyx/digest/sha256.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include "mldsa/openssl_oracle.hpp"

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

// One CA key, and signed tree heads over any list of leaf hashes under it.
class SegmentSigner {
 public:
  SegmentSigner() : key_(oracle_.generate(seed(1))), public_key_(MlDsa65Oracle::public_key(key_.get())) {
    log_id_ = digest::sha256(public_key_);
  }
  [[nodiscard]] const Hash32& log_id() const noexcept { return log_id_; }
  [[nodiscard]] const ByteString& public_key() const noexcept { return public_key_; }

  struct Signed {
    ByteString sth, signature;
  };

  // The STH of `leaves[0, size)` signed under the key; `log_id` replaces the log's when given.
  [[nodiscard]] Signed sign(const std::vector<Hash32>& leaves, std::uint64_t size, std::uint64_t timestamp = 1000,
                            std::optional<Hash32> log_id = std::nullopt) const {
    wire::SignedTreeHead head;
    head.log_id = log_id.value_or(log_id_);
    head.tree_size = size;
    head.timestamp = timestamp + size;
    head.root_hash = definition_root(leaves, 0, size);
    Signed out{wire::encode_signed_tree_head(head), {}};
    const std::string_view context = "HALYX-STH-v1";
    out.signature = oracle_.sign(key_.get(), out.sth, as_bytes(context), seed(2));
    return out;
  }

  // The same, checked once: the verifier's starting point.
  [[nodiscard]] CheckedSth checked(const std::vector<Hash32>& leaves, std::uint64_t size) const {
    const Signed s = sign(leaves, size);
    auto c = CheckedSth::check(s.sth, s.signature, public_key_);
    if (!c) throw std::runtime_error("test STH does not check");
    return std::move(*c);
  }

 private:
  static std::array<std::uint8_t, 32> seed(std::uint8_t b) {
    std::array<std::uint8_t, 32> s{};
    s.fill(b);
    return s;
  }
  MlDsa65Oracle oracle_;
  EvpPkey key_;
  ByteString public_key_;
  Hash32 log_id_{};
};

}  // namespace halyx::test
