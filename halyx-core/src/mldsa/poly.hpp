// poly.hpp: polynomials of R_q and the operations on them that each code path provides.
//
// The verifier needs a handful of bulk operations: the forward and inverse NTT, one row of
// A * NTT(z) - NTT(c) * NTT(t1 * 2^d), the rejection sampling of ExpandA, the Keccak permutation
// of several states at once, and the coefficient-wise work around them: unpacking z and t1, and
// packing the hinted high bits of w. Each path (portable C++, AVX2, AVX-512) supplies them
// through one table, chosen once per process from the CPU's features (path.hpp), and built with
// designated initialisers, so that two kernels of one signature (ntt, inverse_ntt_montgomery)
// cannot trade places unnoticed. All paths meet
// the same contracts, stated below, so they may keep different representatives of a residue in
// between, yet every value the verdict depends on (A, c, w1) is equal on all of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa {

// 256 coefficients; aligned for the widest vector loads.
struct alignas(64) Poly {
  std::array<std::int32_t, N> coeffs;
};

struct Kernels {
  // Keccak-f[1600] on one state: every hash over a message (mu, c~') runs on it.
  KeccakPermutation permute_one;

  // How many Keccak states permute_lanes permutes at once (2, 3, 4, 5 or 8): states[0..keccak_lanes),
  // each 64-byte aligned. One state may be given for several lanes, and is then permuted once (the
  // kernels read every state before writing any); distinct states must not overlap.
  std::size_t keccak_lanes;
  void (*permute_lanes)(KeccakState* const* states) noexcept;

  // Appends to out[filled..256) the candidates of `bytes` (len a multiple of 3) that RejNTTPoly
  // keeps, in order: b0 + 256 b1 + 65536 (b2 & 0x7F) when below q. Stops at 256; returns the new
  // count. May read up to 32 bytes past `len` (the caller's buffer has room), never uses them. May
  // also write scratch into the slots after the new count, but never past out[255].
  std::size_t (*rejection_sample)(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                  std::size_t len) noexcept;

  // p := NTT(p). In: |p_i| < q. Out: congruent to the NTT mod q, |p_i| < q.
  void (*ntt)(Poly& p) noexcept;

  // p := NTT^-1(p) * 2^32. In: |p_i| < q. Out: congruent mod q, |p_i| < q.
  void (*inverse_ntt_montgomery)(Poly& p) noexcept;

  // w := (sum over s of a[s] o z[s] - c o t) * 2^-32, coefficient-wise. In: |a|, |z|, |c|, |t| < q
  // (a has L entries, z has L). Out: congruent mod q, |w_i| < q.
  void (*matrix_row)(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept;

  // Sets p to one row of z from its 640 bytes: twenty bits a coefficient, the stored v meaning
  // z = gamma1 - v, so p lies in [-gamma1 + 1, gamma1]. Returns whether every |z_i| < gamma1 - beta
  // (strictly; as |z| < q / 2, that is the centred norm of z mod q). Reads exactly the 640 bytes.
  bool (*unpack_z)(Poly& p, const std::uint8_t* bytes) noexcept;

  // Sets p to t1 * 2^d for one row of the key from its 320 bytes: ten bits a coefficient, so p lies
  // in [0, 1023 * 2^13], below q. Reads exactly the 320 bytes.
  void (*unpack_t1_shifted)(Poly& p, const std::uint8_t* bytes) noexcept;

  // Writes one row of w1 = UseHint(h, w), 4 bits a coefficient (coefficient 2i in the low half of
  // byte i), into out[0..128). In: |w_i| < q, as inverse_ntt_montgomery leaves it; `positions`
  // lists the row's hinted coefficients, strictly increasing, `count` of them (at most 256).
  void (*encode_w1)(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept;
};

// Stops the process when a coefficient of p is not below `bound` in size, breaking the range a
// contract promises. Only builds that check ranges (the sanitizer build) run it; elsewhere it
// compiles to nothing.
inline void check_bound([[maybe_unused]] const Poly& p, [[maybe_unused]] std::int32_t bound) noexcept {
#if defined(HALYX_CHECK_RANGES)
  for (std::int32_t c : p.coeffs) {
    if (c <= -bound || c >= bound) __builtin_trap();
  }
#endif
}

// check_bound on every input of matrix_row.
inline void check_matrix_row_inputs([[maybe_unused]] const Poly* a, [[maybe_unused]] const Poly* z,
                                    [[maybe_unused]] const Poly& c, [[maybe_unused]] const Poly& t) noexcept {
#if defined(HALYX_CHECK_RANGES)
  for (std::size_t s = 0; s < L; ++s) {
    check_bound(a[s], Q);
    check_bound(z[s], Q);
  }
  check_bound(c, Q);
  check_bound(t, Q);
#endif
}

// The portable C++ kernels; they serve every CPU and architecture. Each architecture's folder
// (x86_64/) holds its own tables, which only path.cpp hands out.
extern const Kernels PORTABLE_KERNELS;

}  // namespace halyx::mldsa
