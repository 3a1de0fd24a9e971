#include <halyx/mldsa/keccak/keccak.hpp>

#include <algorithm>
#include <cstring>

#include <halyx/mldsa/keccak/rounds.hpp>

namespace halyx::mldsa {

const std::array<std::uint64_t, 24> KECCAK_ROUND_CONSTANTS = keccak_rounds::make_round_constants();

void keccak_f1600(KeccakState& state) noexcept { keccak_rounds::permute(state.data()); }

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
