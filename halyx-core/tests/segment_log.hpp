// segment_log.hpp (tests only): small logs built from the recursive definition of the tree hash
// (tree_definition.hpp), signed by a key of their own with OpenSSL, for the segment verifier's tests.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include <halyx/checked_sth.hpp>
#include <halyx/digest/sha256.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include "mldsa/openssl_oracle.hpp"
#include "tree_definition.hpp"

namespace halyx::test {

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
