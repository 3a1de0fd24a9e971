#include <halyx/digest/sha256_compress.hpp>

#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#endif

#include <halyx/cpu/features.hpp>

namespace halyx::digest::detail {
namespace {

// The round constants K of FIPS 180-4, four to a vector, in the order the rounds take them.
alignas(16) constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

}  // namespace

#if defined(__x86_64__)

bool cpu_has_sha_ni() noexcept { return cpu::this_cpu().sha_ni; }

#define HALYX_SHA_NI __attribute__((target("sha,sse4.1,ssse3")))

namespace {

// The instructions keep the eight working variables as two vectors, ABEF and CDGH; each
// sha256rnds2 performs two rounds, and sha256msg1/sha256msg2 extend the message schedule four words
// at a time: W[t..t+3] from W[t-16..t-13], W[t-15..t-12], W[t-7..t-4] and W[t-2..t-1].
struct Lane {
  __m128i abef, cdgh;
};

// The block's words are big-endian: this shuffle turns 16 bytes into four words, and back.
HALYX_SHA_NI inline __m128i byte_swap() noexcept { return _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL); }

HALYX_SHA_NI inline Lane lane_of(const Sha256State& state) noexcept {
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  return {_mm_alignr_epi8(cdab, efgh, 8), _mm_blend_epi16(efgh, cdab, 0xF0)};
}

// The state's words in order: a b c d, then e f g h.
HALYX_SHA_NI inline void words_of(const Lane& lane, __m128i& dcba, __m128i& hgfe) noexcept {
  const __m128i feba = _mm_shuffle_epi32(lane.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(lane.cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
}

HALYX_SHA_NI inline void store(const Lane& lane, Sha256State& state) noexcept {
  __m128i dcba, hgfe;
  words_of(lane, dcba, hgfe);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

HALYX_SHA_NI inline void load_block(const std::uint8_t* block, __m128i* w) noexcept {
  for (std::size_t i = 0; i < 4; ++i) {
    w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byte_swap());
  }
}

// One block into each of L chains, w[l] holding lane l's block as four vectors of words (used up),
// each step written out for every lane before the next so that the chains' instructions interleave.
template <std::size_t L>
HALYX_SHA_NI inline void block_rounds(Lane* lanes, __m128i (*w)[4]) noexcept {
  Lane in[L];
  for (std::size_t l = 0; l < L; ++l) in[l] = lanes[l];
#pragma GCC unroll 16
  for (std::size_t g = 0; g < 16; ++g) {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(&K[4 * g]));
    __m128i wk[L];
    for (std::size_t l = 0; l < L; ++l) {
      wk[l] = _mm_add_epi32(w[l][g & 3], k);
      lanes[l].cdgh = _mm_sha256rnds2_epu32(lanes[l].cdgh, lanes[l].abef, wk[l]);
    }
    for (std::size_t l = 0; l < L; ++l) {
      lanes[l].abef = _mm_sha256rnds2_epu32(lanes[l].abef, lanes[l].cdgh, _mm_shuffle_epi32(wk[l], 0x0E));
    }
    if (g < 12) {
      // W[4g+16 .. 4g+19], into the slot whose words have just been used.
      for (std::size_t l = 0; l < L; ++l) {
        const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w[l][g & 3], w[l][(g + 1) & 3]),
                                              _mm_alignr_epi8(w[l][(g + 3) & 3], w[l][(g + 2) & 3], 4));
        w[l][g & 3] = _mm_sha256msg2_epu32(partial, w[l][(g + 3) & 3]);
      }
    }
  }
  for (std::size_t l = 0; l < L; ++l) {
    lanes[l].abef = _mm_add_epi32(lanes[l].abef, in[l].abef);
    lanes[l].cdgh = _mm_add_epi32(lanes[l].cdgh, in[l].cdgh);
  }
}

// L chains at once: for each k < count, blocks[k][l] into states[l].
template <std::size_t L>
HALYX_SHA_NI inline void sha_ni_lanes(std::array<Sha256State, L>& states, const std::array<const std::uint8_t*, L>* blocks,
                                      std::size_t count) noexcept {
  Lane lanes[L];
  for (std::size_t l = 0; l < L; ++l) lanes[l] = lane_of(states[l]);
  for (; count != 0; --count, ++blocks) {
    __m128i w[L][4];
    for (std::size_t l = 0; l < L; ++l) load_block((*blocks)[l], w[l]);
    block_rounds<L>(lanes, w);
  }
  for (std::size_t l = 0; l < L; ++l) store(lanes[l], states[l]);
}

// A hash as two vectors of its bytes.
struct HashBytes {
  __m128i low, high;
};

HALYX_SHA_NI inline HashBytes load_hash(const Hash32& h) noexcept {
  return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(h.data())),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(h.data() + 16))};
}

// The two blocks of prefix || left || right, 65 bytes and their padding, as words: each vector of
// bytes is its neighbours' bytes shifted by the one-byte prefix.
HALYX_SHA_NI inline void pair_blocks(std::uint8_t prefix, const HashBytes& left, const HashBytes& right,
                                     __m128i (*w)[4]) noexcept {
  const __m128i before = _mm_insert_epi8(_mm_setzero_si128(), prefix, 15);
  const __m128i after = _mm_cvtsi32_si128(0x80);
  w[0][0] = _mm_shuffle_epi8(_mm_alignr_epi8(left.low, before, 15), byte_swap());
  w[0][1] = _mm_shuffle_epi8(_mm_alignr_epi8(left.high, left.low, 15), byte_swap());
  w[0][2] = _mm_shuffle_epi8(_mm_alignr_epi8(right.low, left.high, 15), byte_swap());
  w[0][3] = _mm_shuffle_epi8(_mm_alignr_epi8(right.high, right.low, 15), byte_swap());
  w[1][0] = _mm_shuffle_epi8(_mm_alignr_epi8(after, right.high, 15), byte_swap());
  w[1][1] = _mm_setzero_si128();
  w[1][2] = _mm_setzero_si128();
  w[1][3] = _mm_set_epi32(8 * (1 + 2 * 32), 0, 0, 0);  // the length in bits, in the last word
}

}  // namespace

HALYX_SHA_NI void compress_sha_ni(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept {
  Lane lane = lane_of(state);
  for (; count != 0; --count, blocks += SHA256_BLOCK) {
    __m128i w[1][4];
    load_block(blocks, w[0]);
    block_rounds<1>(&lane, w);
  }
  store(lane, state);
}

HALYX_SHA_NI void compress_sha_ni_x4(std::array<Sha256State, SHA256_LANES>& states, const BlockQuad* blocks,
                                     std::size_t count) noexcept {
  sha_ni_lanes(states, blocks, count);
}

HALYX_SHA_NI void compress_sha_ni_x2(std::array<Sha256State, 2>& states, const BlockPair* blocks,
                                     std::size_t count) noexcept {
  sha_ni_lanes(states, blocks, count);
}

// Each link's digest stays in registers and becomes the next link's message directly: a link
// through memory cost about half as much again, waiting on its stores. Beside the first links, the
// other message's blocks go through a second lane, one beside each block of a link.
HALYX_SHA_NI void pair_chain_sha_ni(std::uint8_t prefix, Hash32& h, const Hash32* others, std::size_t count,
                                    std::uint64_t other_on_left, Sha256State* beside,
                                    const std::uint8_t* const* beside_blocks, std::size_t beside_count) noexcept {
  static constexpr Sha256State IV = SHA256_INITIAL_STATE;
  const Lane initial = lane_of(IV);
  HashBytes current = load_hash(h);
  Lane other_lane = beside != nullptr ? lane_of(*beside) : initial;
  for (std::size_t i = 0; i < count; ++i) {
    const HashBytes other = load_hash(others[i]);
    const __m128i on_left = _mm_set1_epi8(static_cast<char>(-static_cast<int>((other_on_left >> i) & 1)));
    const HashBytes left = {_mm_blendv_epi8(current.low, other.low, on_left),
                            _mm_blendv_epi8(current.high, other.high, on_left)};
    const HashBytes right = {_mm_blendv_epi8(other.low, current.low, on_left),
                             _mm_blendv_epi8(other.high, current.high, on_left)};
    __m128i blocks[2][4];
    pair_blocks(prefix, left, right, blocks);
    Lane lanes[2] = {initial, other_lane};
    for (auto& block : blocks) {
      if (beside_count > 0) {
        __m128i w[2][4];
        for (std::size_t j = 0; j < 4; ++j) w[0][j] = block[j];
        load_block(*beside_blocks++, w[1]);
        --beside_count;
        block_rounds<2>(lanes, w);
      } else {
        block_rounds<1>(lanes, &block);
      }
    }
    other_lane = lanes[1];
    __m128i dcba, hgfe;
    words_of(lanes[0], dcba, hgfe);
    current = {_mm_shuffle_epi8(dcba, byte_swap()), _mm_shuffle_epi8(hgfe, byte_swap())};
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h.data()), current.low);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h.data() + 16), current.high);
  if (beside != nullptr) store(other_lane, *beside);
}

#else  // other processors: the portable block function does the work

bool cpu_has_sha_ni() noexcept { return false; }
void compress_sha_ni(Sha256State&, const std::uint8_t*, std::size_t) noexcept {}
void compress_sha_ni_x4(std::array<Sha256State, SHA256_LANES>&, const BlockQuad*, std::size_t) noexcept {}
void compress_sha_ni_x2(std::array<Sha256State, 2>&, const BlockPair*, std::size_t) noexcept {}
void pair_chain_sha_ni(std::uint8_t, Hash32&, const Hash32*, std::size_t, std::uint64_t, Sha256State*,
                       const std::uint8_t* const*, std::size_t) noexcept {}

#endif

#if defined(__aarch64__)

bool cpu_has_armv8_sha2() noexcept { return cpu::this_cpu().sha2; }

// The eight working variables stay in natural order as two vectors, abcd and efgh. SHA256H does
// four rounds on abcd given efgh and four words of W + K, SHA256H2 the same four rounds' efgh
// from the abcd before them; SHA256SU0 and SHA256SU1 extend the schedule by four words, from
// W[t-16..t-13], W[t-15..t-12], W[t-7..t-4] and W[t-4..t-1].
// GCC 12 declares the SHA-2 intrinsics under "+crypto" (SHA-2 and AES together); only the SHA-2
// ones are used, and no other instruction of the extension is generated without its intrinsics.
__attribute__((target("+crypto"))) void compress_armv8(Sha256State& state, const std::uint8_t* blocks,
                                                        std::size_t count) noexcept {
  uint32x4_t abcd = vld1q_u32(&state[0]), efgh = vld1q_u32(&state[4]);
  for (; count != 0; --count, blocks += SHA256_BLOCK) {
    const uint32x4_t abcd_in = abcd, efgh_in = efgh;
    uint32x4_t w[4];  // w[g % 4] holds W[4g .. 4g+3] when group g runs
    for (std::size_t i = 0; i < 4; ++i) w[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 16 * i)));
#pragma GCC unroll 16
    for (std::size_t g = 0; g < 16; ++g) {
      const uint32x4_t wk = vaddq_u32(w[g & 3], vld1q_u32(&K[4 * g]));
      const uint32x4_t abcd_before = abcd;
      abcd = vsha256hq_u32(abcd, efgh, wk);
      efgh = vsha256h2q_u32(efgh, abcd_before, wk);
      if (g < 12) w[g & 3] = vsha256su1q_u32(vsha256su0q_u32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3], w[(g + 3) & 3]);
    }
    abcd = vaddq_u32(abcd, abcd_in);
    efgh = vaddq_u32(efgh, efgh_in);
  }
  vst1q_u32(&state[0], abcd);
  vst1q_u32(&state[4], efgh);
}

namespace {

// L chains, each step written out for every lane before the next, so that one chain's rounds run
// while another's wait on their result.
template <std::size_t L>
__attribute__((target("+crypto"))) inline void armv8_lanes(std::array<Sha256State, L>& states,
                                                            const std::array<const std::uint8_t*, L>* blocks,
                                                            std::size_t count) noexcept {
  uint32x4_t abcd[L], efgh[L];
  for (std::size_t l = 0; l < L; ++l) {
    abcd[l] = vld1q_u32(&states[l][0]);
    efgh[l] = vld1q_u32(&states[l][4]);
  }
  for (; count != 0; --count, ++blocks) {
    uint32x4_t abcd_in[L], efgh_in[L], w[L][4];
    for (std::size_t l = 0; l < L; ++l) {
      abcd_in[l] = abcd[l];
      efgh_in[l] = efgh[l];
      for (std::size_t i = 0; i < 4; ++i) w[l][i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8((*blocks)[l] + 16 * i)));
    }
#pragma GCC unroll 16
    for (std::size_t g = 0; g < 16; ++g) {
      const uint32x4_t k = vld1q_u32(&K[4 * g]);
      for (std::size_t l = 0; l < L; ++l) {
        const uint32x4_t wk = vaddq_u32(w[l][g & 3], k);
        const uint32x4_t abcd_before = abcd[l];
        abcd[l] = vsha256hq_u32(abcd[l], efgh[l], wk);
        efgh[l] = vsha256h2q_u32(efgh[l], abcd_before, wk);
      }
      if (g < 12) {
        for (std::size_t l = 0; l < L; ++l) {
          w[l][g & 3] = vsha256su1q_u32(vsha256su0q_u32(w[l][g & 3], w[l][(g + 1) & 3]), w[l][(g + 2) & 3],
                                        w[l][(g + 3) & 3]);
        }
      }
    }
    for (std::size_t l = 0; l < L; ++l) {
      abcd[l] = vaddq_u32(abcd[l], abcd_in[l]);
      efgh[l] = vaddq_u32(efgh[l], efgh_in[l]);
    }
  }
  for (std::size_t l = 0; l < L; ++l) {
    vst1q_u32(&states[l][0], abcd[l]);
    vst1q_u32(&states[l][4], efgh[l]);
  }
}

}  // namespace

__attribute__((target("+crypto"))) void compress_armv8_x4(std::array<Sha256State, SHA256_LANES>& states,
                                                         const BlockQuad* blocks, std::size_t count) noexcept {
  armv8_lanes(states, blocks, count);
}

__attribute__((target("+crypto"))) void compress_armv8_x2(std::array<Sha256State, 2>& states, const BlockPair* blocks,
                                                         std::size_t count) noexcept {
  armv8_lanes(states, blocks, count);
}

#else

bool cpu_has_armv8_sha2() noexcept { return false; }
void compress_armv8(Sha256State&, const std::uint8_t*, std::size_t) noexcept {}
void compress_armv8_x4(std::array<Sha256State, SHA256_LANES>&, const BlockQuad*, std::size_t) noexcept {}
void compress_armv8_x2(std::array<Sha256State, 2>&, const BlockPair*, std::size_t) noexcept {}

#endif

bool cpu_has_sha256_instructions() noexcept {
#if defined(__aarch64__)
  return cpu_has_armv8_sha2();
#else
  return cpu_has_sha_ni();
#endif
}

void compress_hw(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept {
#if defined(__aarch64__)
  compress_armv8(state, blocks, count);
#else
  compress_sha_ni(state, blocks, count);
#endif
}

void compress_hw_x4(std::array<Sha256State, SHA256_LANES>& states, const BlockQuad* blocks, std::size_t count) noexcept {
#if defined(__aarch64__)
  compress_armv8_x4(states, blocks, count);
#else
  compress_sha_ni_x4(states, blocks, count);
#endif
}

void compress_hw_x2(std::array<Sha256State, 2>& states, const BlockPair* blocks, std::size_t count) noexcept {
#if defined(__aarch64__)
  compress_armv8_x2(states, blocks, count);
#else
  compress_sha_ni_x2(states, blocks, count);
#endif
}

void compress_portable(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept {
  for (; count != 0; --count, blocks += SHA256_BLOCK) {
    // The message schedule: sixteen big-endian words, then each from four earlier ones.
    std::uint32_t w[64];
    for (std::size_t t = 0; t < 16; ++t) {
      const std::uint8_t* p = blocks + 4 * t;
      w[t] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    }
    for (std::size_t t = 16; t < 64; ++t) {
      const std::uint32_t s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (std::size_t t = 0; t < 64; ++t) {
      const std::uint32_t t1 = h + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[t] + w[t];
      const std::uint32_t t2 = (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

}  // namespace halyx::digest::detail
