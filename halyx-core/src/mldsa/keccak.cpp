#include <halyx/mldsa/keccak.hpp>

#include <algorithm>
#include <cstring>

#include <halyx/mldsa/x86.hpp>

namespace halyx::mldsa {
namespace {

// The LFSR of the round constants: x^8 + x^6 + x^5 + x^4 + 1 over GF(2), output bit t.
constexpr bool rc_bit(unsigned t) noexcept {
  if (t % 255 == 0) return true;
  unsigned r = 1;  // bits 0..7: R[0] is the output bit
  for (unsigned i = 1; i <= t % 255; ++i) {
    const unsigned r8 = (r >> 7) & 1;  // R[8] after the shift, before truncation
    r = (r << 1) & 0xFF;
    if (r8) r ^= 0x71;  // R[0], R[4], R[5], R[6] ^= R[8]
  }
  return r & 1;
}

constexpr std::array<std::uint64_t, 24> make_round_constants() noexcept {
  std::array<std::uint64_t, 24> rc{};
  for (unsigned round = 0; round < 24; ++round) {
    for (unsigned j = 0; j <= 6; ++j) {
      if (rc_bit(j + 7 * round)) rc[round] |= std::uint64_t{1} << ((1u << j) - 1);
    }
  }
  return rc;
}

// Returns v rotated left by n < 64. Spelled out rather than std::rotl, whose count is an int in
// libstdc++ and an unsigned in libc++ 16: a count cast for one warns under the other's -Wconversion.
constexpr std::uint64_t rotl64(std::uint64_t v, unsigned n) { return n == 0 ? v : (v << n) | (v >> (64 - n)); }

// One round from state `a` into state `e`. theta's column sums fold into the lanes as they are
// read; rho and pi pick, for each output plane, the five lanes that land in it; chi and iota then
// finish that plane. Every index is a constant once the loops are unrolled, so the compiler keeps
// the lanes in registers as far as it has them.
[[gnu::always_inline]] inline void round(const std::uint64_t* a, std::uint64_t* e, std::uint64_t rc) noexcept {
  std::uint64_t c[5], d[5];
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ rotl64(c[(x + 1) % 5], 1);
#pragma GCC unroll 5
  for (unsigned y = 0; y < 5; ++y) {
    std::uint64_t b[5];
#pragma GCC unroll 5
    for (unsigned x = 0; x < 5; ++x) {
      // Output lane (x, y) comes from lane (x + 3y, x).
      const unsigned sx = (x + 3 * y) % 5, s = sx + 5 * x;
      b[x] = rotl64(a[s] ^ d[sx], KECCAK_ROTATIONS[s]);
    }
#pragma GCC unroll 5
    for (unsigned x = 0; x < 5; ++x) e[x + 5 * y] = b[x] ^ (~b[(x + 1) % 5] & b[(x + 2) % 5]);
  }
  e[0] ^= rc;
}

// All 24 rounds on 25 words in place. Inlined into each caller, so that every instruction set a
// caller enables shapes the whole permutation.
[[gnu::always_inline]] inline void permute(std::uint64_t* state) noexcept {
  constexpr std::array<std::uint64_t, 24> RC = make_round_constants();
  std::uint64_t a[25], e[25];
  for (unsigned i = 0; i < 25; ++i) a[i] = state[i];
  for (unsigned r = 0; r < 24; r += 2) {
    round(a, e, RC[r]);
    round(e, a, RC[r + 1]);
  }
  for (unsigned i = 0; i < 25; ++i) state[i] = a[i];
}

}  // namespace

const std::array<std::uint64_t, 24> KECCAK_ROUND_CONSTANTS = make_round_constants();

void keccak_f1600(KeccakState& state) noexcept { permute(state.data()); }

#if defined(__x86_64__)
// The same rounds with rorx and andn: the compiler may use them only in a function that says the
// CPU has them, and only path.cpp's CPU check lets a table point here.
__attribute__((target("bmi,bmi2"))) void x86::keccak_f1600_bmi2(KeccakState& state) noexcept {
  permute(state.data());
}
#endif

void keccak_store_state(const KeccakState& state, std::uint8_t* out) noexcept {
  for (std::size_t i = 0; i < KECCAK_WORDS; ++i) store_le64(out + 8 * i, state[i]);
}

// Input is XORed a word at a time wherever the sponge's position is on a word boundary (the rates
// are multiples of 8), and a byte at a time only up to the next boundary and for the tail: every
// message a call hashes (tr, the context, the STH, mu, w1) would otherwise go in byte by byte. The
// words go in a block's worth at a time, so the block's end is checked once per permutation rather
// than once per word: hashing mu || w1 (7 permutations of about 230 ns with AVX-512) spent about
// 170 ns besides them that way, and about 90 now.
template <std::size_t Rate>
void Shake<Rate>::absorb(std::span<const std::uint8_t> data) noexcept {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  for (; n != 0 && position_ % 8 != 0; ++p, --n) {
    state_[position_ / 8] ^= std::uint64_t{*p} << (8 * (position_ % 8));
    if (++position_ == Rate) {
      permute_(state_);
      position_ = 0;
    }
  }
  while (n >= 8) {
    const std::size_t first = position_ / 8, words = std::min(n / 8, Rate / 8 - first);
    for (std::size_t w = 0; w < words; ++w) state_[first + w] ^= load_le64(p + 8 * w);
    p += 8 * words;
    n -= 8 * words;
    position_ += 8 * words;
    if (position_ == Rate) {
      permute_(state_);
      position_ = 0;
    }
  }
  // Fewer than 8 bytes from a word boundary: they end before the block does.
  for (; n != 0; ++p, --n, ++position_) state_[position_ / 8] ^= std::uint64_t{*p} << (8 * (position_ % 8));
}

template <std::size_t Rate>
void Shake<Rate>::finish_absorbing() noexcept {
  state_[position_ / 8] ^= std::uint64_t{SHAKE_PAD} << (8 * (position_ % 8));
  state_[(Rate - 1) / 8] ^= std::uint64_t{0x80} << (8 * ((Rate - 1) % 8));
  permute_(state_);
  position_ = 0;
  squeezing_ = true;
}

template <std::size_t Rate>
void Shake<Rate>::squeeze(std::span<std::uint8_t> out) noexcept {
  if (!squeezing_) finish_absorbing();
  std::uint8_t* p = out.data();
  std::size_t n = out.size();
  while (n != 0) {
    if (position_ == Rate) {
      permute_(state_);
      position_ = 0;
    }
    if (position_ % 8 == 0 && n >= 8) {
      store_le64(p, state_[position_ / 8]);
      p += 8;
      n -= 8;
      position_ += 8;
    } else {
      *p++ = static_cast<std::uint8_t>(state_[position_ / 8] >> (8 * (position_ % 8)));
      --n;
      ++position_;
    }
  }
}

template class Shake<SHAKE128_RATE>;
template class Shake<SHAKE256_RATE>;

}  // namespace halyx::mldsa
