// verify_inclusion: binds and converts the five arguments, runs the stages in their fixed order
// and turns the first failure into exactly one exception. The only outcomes are a new
// VerificationResult or a raised exception; nothing here ever means "not verified".
#include "verify_inclusion.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "arg_binding.hpp"
#include "class_slots.hpp"
#include "raise.hpp"
#include "merkle/step_verify.hpp"
#include "serialization/inclusion_proof.hpp"
#include "serialization/mtac_leaf.hpp"
#include "serialization/signed_tree_head.hpp"
#include "signing/ml_dsa_65.hpp"
#include "signing/sth_signature.hpp"

namespace halyx::py {
namespace {

constexpr ParameterSpec<5> VERIFY_INCLUSION_PARAMETERS{
    "verify_inclusion()",
    {"leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key"},
};

struct Arguments {
  ByteView leaf_bytes, proof_bytes, sth_bytes, signature, ca_public_key;
};

// What a verified call reports.
struct Verified {
  std::uint64_t leaf_index, tree_size, timestamp_ms;
};

// Runs every stage in order. Returns the verified fields, or nothing with the stage's exception
// raised. The handle, the decoded records and the signature copy all belong to this frame, so they
// are released on every path before the caller builds the result.
std::optional<Verified> run_stages(const Arguments& a) {
  // Stage 1: every call has its own handle; none is cached.
  auto scheme = signing::create_ml_dsa_65();
  if (!scheme) {
    raise(verification_error_class(), "oqs init failed: " + std::string(signing::message(scheme.error())));
    return std::nullopt;
  }
  // Stages 2 and 3: lengths are refused before any cryptography runs.
  if (a.ca_public_key.size() != scheme->length_public_key()) {
    raise(verification_error_class(), "ca_public_key rejected by oqs (expected " +
                                          std::to_string(scheme->length_public_key()) + " bytes, got " +
                                          std::to_string(a.ca_public_key.size()) + ")");
    return std::nullopt;
  }
  if (a.signature.size() > scheme->length_signature()) {
    raise(invalid_proof_error_class(), "signature rejected by oqs (expected " +
                                           std::to_string(scheme->length_signature()) + " bytes, got " +
                                           std::to_string(a.signature.size()) + ")");
    return std::nullopt;
  }
  // Stage 4: the signature over the caller's exact STH bytes, before any input is decoded.
  if (!scheme->verify_with_ctx_str(a.sth_bytes, a.signature, signing::STH_SIGNATURE_CONTEXT, a.ca_public_key)) {
    raise(invalid_proof_error_class(), "ML-DSA-65 signature verification failed");
    return std::nullopt;
  }
  // Stages 5 to 7: decoding, STH first, then the proof, then the leaf.
  auto sth = wire::decode_signed_tree_head(a.sth_bytes);
  if (!sth) {
    raise(verification_error_class(), "STH envelope decode failed: " + wire::message(sth.error()));
    return std::nullopt;
  }
  auto proof = wire::decode_inclusion_proof_v1(a.proof_bytes);
  if (!proof) {
    raise(verification_error_class(), "inclusion proof decode failed: " + wire::message(proof.error()));
    return std::nullopt;
  }
  auto leaf = leaf::decode_mtac_leaf(a.leaf_bytes);
  if (!leaf) {
    raise(verification_error_class(), "leaf decode failed: " + leaf::message(leaf.error()));
    return std::nullopt;
  }
  // Stages 8 and 9: the STH check proper, the leaf hash and the inclusion walk. Stage 2 has
  // established the key's length.
  const ByteString signature(a.signature.begin(), a.signature.end());
  const signing::CaPublicKey key(a.ca_public_key.data(), signing::ML_DSA_65_PUBLIC_KEY_LENGTH);
  if (auto step = merkle::verify_sth_and_inclusion(*leaf, *proof, *sth, signature, key); !step) {
    std::visit(Overloaded{
                   [](const merkle::Sth& e) {
                     raise(invalid_proof_error_class(), "STH verification failed: " + signing::message(e.error));
                   },
                   [](const merkle::InclusionInvalid&) {
                     raise(invalid_proof_error_class(), "Merkle inclusion proof invalid");
                   },
               },
               step.error());
    return std::nullopt;
  }
  return Verified{proof->leaf_index, sth->tree_size, sth->timestamp};
}

PyObject* verify_inclusion(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  std::array<PyObject*, 5> slots{};
  if (!bind_arguments(VERIFY_INCLUSION_PARAMETERS, args, nargs, kwnames, slots)) return nullptr;
  std::array<ByteView, 5> views;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    auto view = bytes_argument(slots[i], VERIFY_INCLUSION_PARAMETERS.names[i]);
    if (!view) return nullptr;
    views[i] = *view;
  }
  // The core never throws on purpose; running out of memory is the one exception that can reach
  // here, and it must not cross into the interpreter.
  try {
    const auto verified = run_stages(Arguments{views[0], views[1], views[2], views[3], views[4]});
    if (!verified) return nullptr;
    return new_verification_result(verified->leaf_index, verified->tree_size, verified->timestamp_ms);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

constexpr const char VERIFY_INCLUSION_DOC[] =
    "verify_inclusion(leaf_bytes, proof_bytes, sth_bytes, signature, ca_public_key)\n"
    "--\n"
    "\n"
    "Verifies full MTAC provenance: STH signature, Merkle inclusion, and leaf hash.\n"
    "\n"
    "This function RAISES on ALL failure paths \xE2\x80\x94 it never returns a\n"
    "``verified=False`` sentinel (AD-1.6-05 / Stage 6 WARN-8).\n"
    "\n"
    "# Parameters\n"
    "\n"
    "- `leaf_bytes`: dcbor-encoded `MtacLeaf` (RFC 8949 \xC2\xA7" "4.2.1 CDER profile,\n"
    "  same format as `MtacLeaf.serialize_canonical()` in Rust).\n"
    "- `proof_bytes`: wire-v1 encoded `InclusionProof` per\n"
    "  `encode_inclusion_proof_v1` (CBOR `array(3)` of `[uint, uint, array<bstr(32)>]`).\n"
    "- `sth_bytes`: wire-v1 STH envelope per `encode_signed_tree_head`\n"
    "  (CBOR `array(2)` of `[tstr(\"HALYX-STH-v1\"), bstr(body)]`). This is the\n"
    "  EXACT byte string that was passed to ML-DSA-65 `sign_with_ctx_str`.\n"
    "- `signature`: 3309-byte ML-DSA-65 (FIPS 204) signature over `sth_bytes`\n"
    "  with ctx `b\"HALYX-STH-v1\"`.\n"
    "- `ca_public_key`: 1952-byte raw ML-DSA-65 public key (NOT CBOR-encoded).\n"
    "\n"
    "# Returns\n"
    "\n"
    "On success: `VerificationResult(leaf_index, tree_size, timestamp_ms)`.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyErr` (which Python sees as one of the exception types below) on\n"
    "any failure. Never returns `Ok` with a \"not verified\" sentinel.\n"
    "\n"
    "- `HalyxInvalidProofError` \xE2\x80\x94 STH signature invalid, Merkle inclusion failed,\n"
    "  or leaf hash mismatch.\n"
    "- `HalyxVerificationError` \xE2\x80\x94 malformed input bytes, wrong public key length,\n"
    "  or other structural failures.\n"
    "\n"
    "# Domain separation\n"
    "\n"
    "The FIPS 204 \xC2\xA7" "5.2 ctx string `b\"HALYX-STH-v1\"` is applied at the ML-DSA-65\n"
    "layer (not visible in `sth_bytes`). External verifiers MUST pass this ctx\n"
    "string; passing an empty ctx will reject valid Halyx signatures.";

}  // namespace

PyMethodDef verify_inclusion_method = {
    "verify_inclusion",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_inclusion)),
    METH_FASTCALL | METH_KEYWORDS,
    VERIFY_INCLUSION_DOC,
};

}  // namespace halyx::py
