#include <halyx/mldsa/verifier.hpp>

#include <algorithm>
#include <cstring>
#include <memory>

#include <halyx/mldsa/encoding.hpp>
#include <halyx/mldsa/expand.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/keccak/sponges.hpp>

namespace halyx::mldsa {
namespace {

using UniformEntry = ExpansionSponges::UniformEntry;
using Challenge = ExpansionSponges::Challenge;

bool take_uniform(void* context, const std::uint8_t* block, std::size_t rate) noexcept {
  auto& e = *static_cast<UniformEntry*>(context);
  e.filled = e.kernels->rejection_sample(e.out->coeffs.data(), e.filled, block, rate);
  return e.filled == N;
}

// The first block opens with the 64 sign bits; every byte after them is a candidate position j for
// the next i, taken when j <= i.
bool take_challenge(void* context, const std::uint8_t* block, std::size_t rate) noexcept {
  auto& ch = *static_cast<Challenge*>(context);
  std::size_t pos = 0;
  if (!ch.started) {
    ch.signs = load_le64(block);
    ch.c->coeffs.fill(0);
    ch.i = N - TAU;
    ch.started = true;
    pos = 8;
  }
  for (; pos < rate && ch.i < N; ++pos) {
    const std::size_t j = block[pos];
    if (j > ch.i) continue;
    ch.c->coeffs[ch.i] = ch.c->coeffs[j];
    ch.c->coeffs[j] = 1 - 2 * static_cast<std::int32_t>(ch.signs & 1);
    ch.signs >>= 1;
    ++ch.i;
  }
  return ch.i == N;
}

// tr's consumer: the first 64 bytes of output, also at the head of the message's hash if there is one.
bool take_tr(void* context, const std::uint8_t* block, std::size_t /*rate*/) noexcept {
  const auto& out = *static_cast<ExpansionSponges::TrOut*>(context);
  std::memcpy(out.tr, block, TR_BYTES);
  if (out.message_head != nullptr) std::memcpy(out.message_head, block, TR_BYTES);
  return true;
}

// mu's consumer: the first 64 bytes of output.
bool take_mu(void* context, const std::uint8_t* block, std::size_t /*rate*/) noexcept {
  std::memcpy(context, block, MU_BYTES);
  return true;
}

}  // namespace

void expand(Expansion& out, ExpansionSponges& work, std::span<const std::uint8_t, PUBLIC_KEY_BYTES> public_key,
            std::span<const std::uint8_t, C_TILDE_BYTES> c_tilde, const Kernels& kernels,
            const MessageToHash* message) noexcept {
  const auto rho = public_key.first<SEED_BYTES>();
  work.challenge = Challenge{&out.c, 0, 0, false};
  work.tr_out = {out.tr.data(), message != nullptr ? work.message_head.data() : nullptr};
  work.sponges[0].set(SHAKE256_RATE, public_key, take_tr, &work.tr_out);
  if (message != nullptr) {
    // M' = 0 || len(ctx) || ctx || M, after tr; the sponge starts once tr is written.
    std::uint8_t* head = work.message_head.data();
    head[TR_BYTES] = 0;
    head[TR_BYTES + 1] = static_cast<std::uint8_t>(message->context.size());
    std::copy(message->context.begin(), message->context.end(), head + TR_BYTES + 2);
    Sponge& mu = work.sponges[2 + K * L];
    mu.set(SHAKE256_RATE, std::span(work.message_head).first(TR_BYTES + 2 + message->context.size()), take_mu,
           message->mu->data(), message->message);
    work.sponges[0].then = &mu;
  }
  work.sponges[1].set(SHAKE256_RATE, c_tilde, take_challenge, &work.challenge);
  for (std::size_t r = 0; r < K; ++r) {
    for (std::size_t s = 0; s < L; ++s) {
      const std::size_t e = r * L + s;
      auto& seed = work.seeds[e];
      std::copy(rho.begin(), rho.end(), seed.begin());
      seed[SEED_BYTES] = static_cast<std::uint8_t>(s);
      seed[SEED_BYTES + 1] = static_cast<std::uint8_t>(r);
      work.entries[e] = UniformEntry{&out.a[r][s], 0, &kernels};
      work.sponges[2 + e].set(SHAKE128_RATE, seed, take_uniform, &work.entries[e]);
    }
  }
  run_sponges(std::span(work.sponges).first(2 + K * L), kernels);
}

// Everything prepare() works in: a fixed size, always on the heap (verifier.hpp says why).
struct PreparedVerification::Workspace {
  Expansion x;  // tr, c and A
  ExpansionSponges sponges;
  std::array<Poly, L> z;
  Poly t;  // one row of NTT(t1 * 2^d)
  Poly w;
  Hint hint;
};

void PreparedVerification::prepare_in(Workspace& ws, PublicKeyView public_key, const std::uint8_t* sig,
                                      const Message* message) noexcept {
  const Kernels& kernels = *kernels_;
  // The checks that need no hashing come first: a malformed signature costs no Keccak.
  bool within_bound = true;
  for (std::size_t s = 0; s < L; ++s) {
    within_bound &= kernels.unpack_z(ws.z[s], sig + C_TILDE_BYTES + s * Z_POLY_BYTES);
  }
  if (!within_bound || !decode_hint(ws.hint, sig + C_TILDE_BYTES + L * Z_POLY_BYTES)) return;

  // Every sponge at once (expand.hpp): tr, the challenge, then the 30 entries of A.
  // The message's mu comes out of the same batch, when it can be decided at all.
  const bool with_mu = message != nullptr && message->context.size() <= MAX_CONTEXT_BYTES;
  const MessageToHash to_hash{with_mu ? message->message : std::span<const std::uint8_t>{},
                              with_mu ? message->context : std::span<const std::uint8_t>{}, &mu_};
  expand(ws.x, ws.sponges, public_key, c_tilde_, kernels, with_mu ? &to_hash : nullptr);
  tr_ = ws.x.tr;
  has_mu_ = with_mu;

  // w' = NTT^-1(A NTT(z) - NTT(c) NTT(t1 2^d)), one row at a time, then its high bits under the hint.
  for (auto& z : ws.z) kernels.ntt(z);
  kernels.ntt(ws.x.c);
  const std::uint8_t* t1 = public_key.data() + SEED_BYTES;
  std::size_t hint_start = 0;
  for (std::size_t r = 0; r < K; ++r) {
    kernels.unpack_t1_shifted(ws.t, t1 + r * T1_POLY_BYTES);
    kernels.ntt(ws.t);
    kernels.matrix_row(ws.w, ws.x.a[r].data(), ws.z.data(), ws.x.c, ws.t);
    kernels.inverse_ntt_montgomery(ws.w);
    const std::size_t hint_end = ws.hint.row_end[r];
    kernels.encode_w1(w1_encoded_.data() + r * W1_POLY_BYTES, ws.w, ws.hint.positions.data() + hint_start,
                      hint_end - hint_start);
    hint_start = hint_end;
  }
  well_formed_ = true;
}

PreparedVerification prepare(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                             const Kernels& kernels) {
  return prepare_with_message(public_key, signature, kernels, nullptr);
}

PreparedVerification prepare(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                             std::span<const std::uint8_t> message, std::span<const std::uint8_t> context,
                             const Kernels& kernels) {
  const PreparedVerification::Message first{message, context};
  return prepare_with_message(public_key, signature, kernels, &first);
}

PreparedVerification prepare_with_message(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                                          const Kernels& kernels, const PreparedVerification::Message* message) {
  PreparedVerification out;
  out.kernels_ = &kernels;
  if (signature.size() != SIGNATURE_BYTES) return out;
  const std::uint8_t* sig = signature.data();
  std::copy_n(sig, C_TILDE_BYTES, out.c_tilde_.begin());
  const auto ws = std::make_unique_for_overwrite<PreparedVerification::Workspace>();
  out.prepare_in(*ws, public_key, sig, message);
  return out;
}

bool PreparedVerification::decide_mu(std::span<const std::uint8_t, MU_BYTES> mu) const noexcept {
  if (!well_formed_) return false;
  Shake256 h(kernels_->permute_one);
  h.absorb(mu);
  h.absorb(w1_encoded_);
  std::array<std::uint8_t, C_TILDE_BYTES> c_tilde;
  h.squeeze(c_tilde);
  // Every byte is compared: a comparison that stopped early would accept a forged tail.
  return c_tilde == c_tilde_;
}

bool PreparedVerification::decide_prepared() const noexcept { return has_mu_ && decide_mu(mu_); }

bool PreparedVerification::decide(std::span<const std::uint8_t> message,
                                  std::span<const std::uint8_t> context) const noexcept {
  if (!well_formed_ || context.size() > MAX_CONTEXT_BYTES) return false;
  // M' = 0 || len(ctx) || ctx || M, absorbed in pieces rather than built.
  const std::uint8_t prefix[2] = {0, static_cast<std::uint8_t>(context.size())};
  Shake256 h(kernels_->permute_one);
  h.absorb(tr_);
  h.absorb(prefix);
  h.absorb(context);
  h.absorb(message);
  std::array<std::uint8_t, MU_BYTES> mu;
  h.squeeze(mu);
  return decide_mu(mu);
}

}  // namespace halyx::mldsa
