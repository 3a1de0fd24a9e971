// verify_fuzz.cpp: the whole verify_inclusion on arbitrary arguments, and CheckedSth beside it.
//
// The input is cut into the five arguments in the order the call checks them, each but the last
// after a two-byte little-endian length (cut short when the input ends first):
//
//   [len][ca_public_key] [len][signature] [len][sth_bytes] [len][proof_bytes] leaf_bytes...
//
// so a mutation that changes the length of the leaf, checked last, leaves the other four intact,
// and seeds holding a signed STH keep reaching the decoders and the walk. fuzz/make_corpus.py
// writes the signed fixtures in this framing.
//
// For every input: a second call on fresh copies of the arguments gives an equal result (nothing
// may depend on addresses, earlier calls or uninitialised memory); a failure renders a class and
// a message, and is the first one in the call's order, as each decoder alone confirms; a verified
// result agrees with the decoded STH and proof; and CheckedSth, checking the STH once and deciding
// the pair apart, gives the same answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <variant>

#include <halyx/checked_sth.hpp>
#include "fuzz_support.hpp"
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/verification.hpp>

namespace {

using halyx::ByteString;
using halyx::ByteView;
using halyx::fuzz::require;
using halyx::fuzz::take_framed;
namespace wire = halyx::wire;

struct Arguments {
  ByteString key, signature, sth, proof, leaf;
};

Arguments split(ByteView input) {
  Arguments a;
  a.key = take_framed(input);
  a.signature = take_framed(input);
  a.sth = take_framed(input);
  a.proof = take_framed(input);
  a.leaf.assign(input.begin(), input.end());
  return a;
}

std::expected<halyx::VerifiedInclusion, halyx::VerifyError> verify(const Arguments& a) {
  return halyx::verify_inclusion(a.leaf, a.proof, a.sth, a.signature, a.key);
}

void check_failure(const Arguments& a, const halyx::VerifyError& error) {
  require(!halyx::message(error).empty(), "empty verification message");
  require(!halyx::class_name(halyx::error_class(error)).empty(), "empty class name");
  namespace s = halyx::signing;
  const bool key_fits = a.key.size() == s::ML_DSA_65_PUBLIC_KEY_LENGTH;
  require(std::holds_alternative<halyx::KeyLengthMismatch>(error) == !key_fits,
          "key length judged other than by its length, or not first");
  if (!key_fits) return;
  require(std::holds_alternative<halyx::SignatureTooLong>(error) == (a.signature.size() > s::ML_DSA_65_SIGNATURE_LENGTH),
          "signature length judged other than by its length");
  // Each decode stage runs only after the earlier ones passed, and reports its decoder's own error.
  const auto sth = wire::decode_signed_tree_head(a.sth);
  const auto proof = wire::decode_inclusion_proof_v1(a.proof);
  const auto leaf = halyx::leaf::decode_mtac_leaf(a.leaf);
  if (const auto* e = std::get_if<halyx::SthDecodeFailed>(&error)) {
    require(!sth && e->error == sth.error(), "STH decode failure differs from the decoder's");
  }
  if (const auto* e = std::get_if<halyx::ProofDecodeFailed>(&error)) {
    require(sth && !proof && e->error == proof.error(), "proof decode failure out of order or altered");
  }
  if (const auto* e = std::get_if<halyx::LeafDecodeFailed>(&error)) {
    require(sth && proof && !leaf && e->error == leaf.error(), "leaf decode failure out of order or altered");
  }
  if (std::holds_alternative<halyx::SthCheckFailed>(error) || std::holds_alternative<halyx::InclusionFailed>(error)) {
    require(sth && proof && leaf, "a late check ran on input that does not decode");
  }
}

void check_verified(const Arguments& a, const halyx::VerifiedInclusion& v) {
  const auto sth = wire::decode_signed_tree_head(a.sth);
  const auto proof = wire::decode_inclusion_proof_v1(a.proof);
  require(sth && proof && halyx::leaf::decode_mtac_leaf(a.leaf), "verified input that does not decode");
  require(a.signature.size() == halyx::signing::ML_DSA_65_SIGNATURE_LENGTH, "verified a signature of the wrong length");
  require(v.tree_size == sth->tree_size && v.timestamp_ms == sth->timestamp, "result differs from the STH");
  require(v.leaf_index == proof->leaf_index && v.leaf_index < v.tree_size, "leaf_index not the proof's, or outside the tree");
}

// The STH checked once and the pair decided apart must give the whole call's answer, including
// which failure comes first, and a verified pair the leaf as the decoder reads it.
void check_checked_once(const Arguments& a, const std::expected<halyx::VerifiedInclusion, halyx::VerifyError>& whole) {
  const auto checked = halyx::CheckedSth::check(a.sth, a.signature, a.key);
  if (!checked) {
    require(!whole && whole.error() == checked.error(), "CheckedSth::check failed otherwise than the call");
    return;
  }
  const auto apart = checked->verify(a.leaf, a.proof);
  require(apart.has_value() == whole.has_value(), "CheckedSth::verify decided otherwise than the call");
  if (apart) {
    require(apart->inclusion == *whole && apart->leaf == *halyx::leaf::decode_mtac_leaf(a.leaf),
            "CheckedSth::verify reported other fields than the call");
  } else {
    require(apart.error() == whole.error(), "CheckedSth::verify failed otherwise than the call");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Arguments first = split(ByteView(data, size));
  const auto result = verify(first);
  const Arguments copy = first;  // new buffers at other addresses
  require(verify(copy) == result, "a second call gave another result");
  if (result) {
    check_verified(first, *result);
  } else {
    check_failure(first, result.error());
  }
  check_checked_once(first, result);
  return 0;
}
