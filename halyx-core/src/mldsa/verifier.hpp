// verifier.hpp: ML-DSA-65 verification (FIPS 204, the pure interface with a context), in two steps.
//
//   const PreparedVerification prepared = prepare(public_key, signature);   // per (key, signature)
//   if (prepared.decide(message, context)) { ... }                          // per message
//
// prepare() does everything that depends only on the key and the signature: it decodes both,
// checks the hint encoding and the bound on z, expands A, samples the challenge c, and computes
// w'1 = UseHint(h, A z - c t1 2^d) in its packed form, with tr = H(pk). decide() then computes
// mu = H(tr || M') and c~' = H(mu || w1Encode(w'1)) and compares all of c~' with c~. Each verdict
// is exactly the standard's: a signature that is malformed or out of bound fails every decision.
//
// Verification handles public data only (keys, signatures, messages), so nothing here runs in
// constant time. Nothing is kept between calls. prepare() works in about 50 KiB (the 30 entries of
// A are the bulk, the 32 Keccak states next), in one heap allocation freed before it returns; on the
// caller's stack it uses a few KiB of frames (SECURITY.md gives the bound). The workspace is never
// put on the stack: no thread can learn how much of the stack it runs on is its own (a coroutine's
// stack may be a buffer inside another stack), so any test of the room left could over-estimate it,
// and a frame that large would then write over memory its caller owns. A PreparedVerification is
// under 1 KiB, held wherever its owner puts it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {

using PublicKeyView = std::span<const std::uint8_t, PUBLIC_KEY_BYTES>;

class PreparedVerification {
 public:
  // A message to prepare along with the signature.
  struct Message {
    std::span<const std::uint8_t> message, context;
  };

  // Returns true exactly when ML-DSA.Verify(pk, message, signature, context) accepts: the
  // signature is well-formed and within bound, the context has at most 255 bytes, and the
  // challenge recomputed over this message equals the signature's in all 48 bytes.
  [[nodiscard]] bool decide(std::span<const std::uint8_t> message, std::span<const std::uint8_t> context) const noexcept;

  // Whether the signature decoded (length, hint) and z is within bound; if not, every decision fails.
  [[nodiscard]] bool well_formed() const noexcept { return well_formed_; }
  // w1Encode(w'1), the message-independent half of the challenge hash. For tests.
  [[nodiscard]] const std::array<std::uint8_t, W1_ENCODED_BYTES>& w1_encoded() const noexcept { return w1_encoded_; }

  // Returns decide(message, context) for the message and context prepare() was given, whose mu it
  // computed beside A; false when it was given none.
  [[nodiscard]] bool decide_prepared() const noexcept;

  // Decides on a mu the caller computed: the verification of the message mu stands for.
  [[nodiscard]] bool decide_mu(std::span<const std::uint8_t, MU_BYTES> mu) const noexcept;

 private:
  friend PreparedVerification prepare_with_message(PublicKeyView, std::span<const std::uint8_t>, const Kernels&,
                                                   const Message*);

  struct Workspace;  // what preparing works in
  // Prepares a signature of the right length, in `ws`.
  void prepare_in(Workspace& ws, PublicKeyView public_key, const std::uint8_t* signature, const Message* message) noexcept;

  const Kernels* kernels_ = &PORTABLE_KERNELS;
  bool well_formed_ = false;
  std::array<std::uint8_t, TR_BYTES> tr_{};
  std::array<std::uint8_t, C_TILDE_BYTES> c_tilde_{};
  std::array<std::uint8_t, W1_ENCODED_BYTES> w1_encoded_{};
  bool has_mu_ = false;
  std::array<std::uint8_t, MU_BYTES> mu_{};  // with has_mu_: the prepared message's
};

// Prepares the verification of `signature` under `public_key` with the given kernels (by default
// those of the process's path). A signature of any length other than 3309 bytes is prepared as
// one that fails every decision. Throws std::bad_alloc only, when the heap cannot hold the
// workspace.
[[nodiscard]] PreparedVerification prepare(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                                           const Kernels& kernels);
[[nodiscard]] inline PreparedVerification prepare(PublicKeyView public_key,
                                                  std::span<const std::uint8_t> signature) {
  return prepare(public_key, signature, kernels_for(selected_path()));
}

// prepare() with one message made ready too: its mu = H(tr || M') is computed in the same batch of
// sponges as A, in lanes A leaves free, so that decide_prepared() costs only the challenge's hash.
[[nodiscard]] PreparedVerification prepare(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                                           std::span<const std::uint8_t> message, std::span<const std::uint8_t> context,
                                           const Kernels& kernels);

// The two above: `message` null or not.
[[nodiscard]] PreparedVerification prepare_with_message(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                                                        const Kernels& kernels, const PreparedVerification::Message* message);

}  // namespace halyx::mldsa
