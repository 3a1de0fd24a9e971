// checked_sth.hpp: a signed tree head checked once against a CA key, then any number of leaves
// decided against it, each with exactly the answer verify_inclusion gives for the same five inputs.
// For a log monitor that checks a segment of a log under one STH: the two ML-DSA-65 verifications
// and the STH's decode happen once, and each leaf costs its decodes, its hash and its walk.
//
//   auto checked = halyx::CheckedSth::check(sth, signature, ca_public_key);
//   if (!checked) return report(checked.error());          // every leaf would fail the same way
//   for (const auto& [leaf, proof] : pairs) {              // from any number of threads at once
//     auto verified = checked->verify(leaf, proof);
//     if (verified) use(verified->inclusion.leaf_index, verified->leaf.agent_id);
//   }
#pragma once

#include <expected>
#include <optional>

#include <halyx/bytes.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/verification.hpp>

namespace halyx {

// What a verified leaf reports: what verify_inclusion returns, and the decoded leaf, whose six
// fields are what the signature covers.
struct VerifiedLeaf {
  VerifiedInclusion inclusion;
  leaf::MtacLeaf leaf;
};

// An STH that passed every check that comes before the proof's decode. It owns its data and
// refers to none of the inputs it was checked from. It never changes after check(), so verify()
// may run on any number of threads at once.
class CheckedSth {
 public:
  // Returns the STH checked once: the ML-DSA-65 handle, the key's and the signature's lengths, the
  // signature over `sth_bytes`, the STH's decode, and also the checks that verify_inclusion runs
  // after the decodes (the log id and the signature over the re-encoding), whose outcome is kept
  // for verify() to report in its place. Errors: the first failure of the checks before the
  // proof's decode, which every verify_inclusion call with these three inputs would report.
  // Throws std::bad_alloc only.
  [[nodiscard]] static std::expected<CheckedSth, VerifyError> check(ByteView sth_bytes, ByteView signature,
                                                                    ByteView ca_public_key);

  // Returns what verify_inclusion(leaf_bytes, proof_bytes, sth_bytes, signature, ca_public_key)
  // returns for the three inputs check() was given, with the decoded leaf beside it: the proof's
  // and the leaf's decode failures first, then the STH's later failure if it had one, then the
  // inclusion walk. Borrows the views for the call only. Throws std::bad_alloc only.
  [[nodiscard]] std::expected<VerifiedLeaf, VerifyError> verify(ByteView leaf_bytes, ByteView proof_bytes) const;

  // The decoded STH.
  [[nodiscard]] const wire::SignedTreeHead& sth() const noexcept { return sth_; }

  // The failure of the checks after the decodes (the log id, the signature over the re-encoding),
  // which verify() reports in its place; nothing when the STH passed them.
  [[nodiscard]] const std::optional<SthCheckFailed>& later_failure() const noexcept { return failure_; }

 private:
  CheckedSth(wire::SignedTreeHead sth, std::optional<SthCheckFailed> failure) noexcept
      : sth_(std::move(sth)), failure_(failure) {}

  wire::SignedTreeHead sth_;
  // The STH check's failure: every leaf whose proof and leaf decode meets it.
  std::optional<SthCheckFailed> failure_;
};

}  // namespace halyx
