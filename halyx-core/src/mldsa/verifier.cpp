#include <halyx/mldsa/verifier.hpp>

#include <algorithm>
#include <cstring>
#include <memory>

#include <halyx/mldsa/encoding.hpp>
#include <halyx/mldsa/keccak.hpp>
#include <halyx/mldsa/sponges.hpp>
#include <halyx/mldsa/stack_room.hpp>

namespace halyx::mldsa {
namespace {

// A sponge's consumer for one entry of A: rejection sampling until 256 coefficients are kept.
struct UniformEntry {
  Poly* out;
  std::size_t filled;
  const Kernels* kernels;
};

bool take_uniform(void* context, const std::uint8_t* block, std::size_t rate) noexcept {
  auto& e = *static_cast<UniformEntry*>(context);
  e.filled = e.kernels->rejection_sample(e.out->coeffs.data(), e.filled, block, rate);
  return e.filled == N;
}

// The challenge's consumer. The first block opens with the 64 sign bits; every byte after them is
// a candidate position j for the next i, taken when j <= i.
struct Challenge {
  Poly* c;
  std::uint64_t signs;
  std::size_t i;
  bool started;
};

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

// tr's consumer: the first 64 bytes of output.
bool take_tr(void* context, const std::uint8_t* block, std::size_t /*rate*/) noexcept {
  std::memcpy(context, block, TR_BYTES);
  return true;
}

// The seeds of A: rho, then the column index, then the row index.
using Seeds = std::array<std::array<std::uint8_t, SEED_BYTES + 2>, K * L>;

void make_seeds(Seeds& seeds, std::span<const std::uint8_t, SEED_BYTES> rho) noexcept {
  for (std::size_t r = 0; r < K; ++r) {
    for (std::size_t s = 0; s < L; ++s) {
      auto& seed = seeds[r * L + s];
      std::copy(rho.begin(), rho.end(), seed.begin());
      seed[SEED_BYTES] = static_cast<std::uint8_t>(s);
      seed[SEED_BYTES + 1] = static_cast<std::uint8_t>(r);
    }
  }
}

}  // namespace

void expand_a(Matrix& a, std::span<const std::uint8_t, SEED_BYTES> rho, const Kernels& kernels) noexcept {
  Seeds seeds;
  make_seeds(seeds, rho);
  std::array<UniformEntry, K * L> entries;
  std::array<Sponge, K * L> sponges;
  for (std::size_t e = 0; e < K * L; ++e) {
    entries[e] = UniformEntry{&a[e / L][e % L], 0, &kernels};
    sponges[e].set(SHAKE128_RATE, seeds[e], take_uniform, &entries[e]);
  }
  run_sponges(sponges, kernels);
}

void sample_in_ball(Poly& c, std::span<const std::uint8_t, C_TILDE_BYTES> c_tilde, const Kernels& kernels) noexcept {
  Challenge ch{&c, 0, 0, false};
  Sponge sponge;
  sponge.set(SHAKE256_RATE, c_tilde, take_challenge, &ch);
  run_sponges({&sponge, 1}, kernels);
}

// Everything prepare() works in: a fixed size, on the caller's stack when it has room, else on the heap.
struct PreparedVerification::Workspace {
  Matrix a;
  std::array<Poly, L> z;
  Poly c;
  Poly t;  // one row of NTT(t1 * 2^d)
  Poly w;
  Hint hint;
  Seeds seeds;
  std::array<UniformEntry, K * L> entries;
  std::array<Sponge, K * L + 2> sponges;
};

void PreparedVerification::prepare_in(Workspace& ws, PublicKeyView public_key, const std::uint8_t* sig) noexcept {
  const Kernels& kernels = *kernels_;
  // The checks that need no hashing come first: a malformed signature costs no Keccak.
  bool within_bound = true;
  for (std::size_t s = 0; s < L; ++s) {
    within_bound &= kernels.unpack_z(ws.z[s], sig + C_TILDE_BYTES + s * Z_POLY_BYTES);
  }
  if (!within_bound || !decode_hint(ws.hint, sig + C_TILDE_BYTES + L * Z_POLY_BYTES)) return;

  // Every sponge at once, the longest first: tr (15 permutations over the key), the challenge,
  // then the 30 entries of A.
  const auto rho = public_key.first<SEED_BYTES>();
  make_seeds(ws.seeds, rho);
  Challenge challenge{&ws.c, 0, 0, false};
  ws.sponges[0].set(SHAKE256_RATE, public_key, take_tr, tr_.data());
  ws.sponges[1].set(SHAKE256_RATE, c_tilde_, take_challenge, &challenge);
  for (std::size_t e = 0; e < K * L; ++e) {
    ws.entries[e] = UniformEntry{&ws.a[e / L][e % L], 0, &kernels};
    ws.sponges[2 + e].set(SHAKE128_RATE, ws.seeds[e], take_uniform, &ws.entries[e]);
  }
  run_sponges(ws.sponges, kernels);

  // w' = NTT^-1(A NTT(z) - NTT(c) NTT(t1 2^d)), one row at a time, then its high bits under the hint.
  for (auto& z : ws.z) kernels.ntt(z);
  kernels.ntt(ws.c);
  const std::uint8_t* t1 = public_key.data() + SEED_BYTES;
  std::size_t hint_start = 0;
  for (std::size_t r = 0; r < K; ++r) {
    kernels.unpack_t1_shifted(ws.t, t1 + r * T1_POLY_BYTES);
    kernels.ntt(ws.t);
    kernels.matrix_row(ws.w, ws.a[r].data(), ws.z.data(), ws.c, ws.t);
    kernels.inverse_ntt_montgomery(ws.w);
    const std::size_t hint_end = ws.hint.row_end[r];
    kernels.encode_w1(w1_encoded_.data() + r * W1_POLY_BYTES, ws.w, ws.hint.positions.data() + hint_start,
                      hint_end - hint_start);
    hint_start = hint_end;
  }
  well_formed_ = true;
}

void PreparedVerification::prepare_on_stack(PublicKeyView public_key, const std::uint8_t* sig) noexcept {
  Workspace ws;
  prepare_in(ws, public_key, sig);
}

PreparedVerification prepare(PublicKeyView public_key, std::span<const std::uint8_t> signature,
                             const Kernels& kernels) {
  PreparedVerification out;
  out.kernels_ = &kernels;
  if (signature.size() != SIGNATURE_BYTES) return out;
  const std::uint8_t* sig = signature.data();
  std::copy_n(sig, C_TILDE_BYTES, out.c_tilde_.begin());
  // What prepare_on_stack() needs of the stack: the workspace, and a margin for the frames below
  // it (the kernels' and the sponges' take about 2 KiB) and for a signal handler that may run there.
  constexpr std::size_t stack_needed = sizeof(PreparedVerification::Workspace) + 16 * 1024;
  if (stack_room() >= stack_needed) {
    out.prepare_on_stack(public_key, sig);
  } else {
    const auto ws = std::make_unique_for_overwrite<PreparedVerification::Workspace>();
    out.prepare_in(*ws, public_key, sig);
  }
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
