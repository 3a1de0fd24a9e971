// Every code path this CPU has computes what the portable one does: Keccak-f[1600] on one state and
// on each of the states its lanes take, rejection sampling (here against its definition) up to where
// it must stop, and so the verdict on every known-answer vector.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mldsa/each_path.hpp"
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/path.hpp>

namespace halyx::mldsa {
namespace {

KeccakState random_state(std::mt19937_64& rng) {
  KeccakState s;
  for (auto& w : s) w = rng();
  return s;
}

// Anchors the reference the paths are compared with: the first word of Keccak-f[1600] of the zero state.
TEST(KeccakPaths, ReferenceMatchesTheKnownAnswer) {
  KeccakState s{};
  keccak_f1600(s);
  EXPECT_EQ(s[0], 0xF1258F7940E1DDE7u);
}

// Each lane gets its own random state, handed over in the reverse of memory order with a bystander
// between each two, so a kernel that mixes lanes, drops one or takes the wrong state fails. The
// bystanders, and the words after each state, must stay as they were. In the last two trials the
// lanes from the second (then the third) on all take one state, as the driver fills the lanes it
// has no sponge for; that state must come out permuted once. Every table of the path's lanes.
class KeccakLanes : public test::EachPath {};
HALYX_FOR_EACH_PATH(KeccakLanes);

TEST_P(KeccakLanes, PermuteLikeTheReferenceOnEveryLane) {
  struct alignas(64) Slot {
    KeccakState state;
    std::array<std::uint64_t, 7> after;
  };
  static_assert(sizeof(Slot) == 256);
  std::mt19937_64 rng(7);
  for (const Kernels* variant : test::lane_variants(GetParam())) {
    const Kernels& k = *variant;
    const std::size_t lanes = k.keccak_lanes;
    SCOPED_TRACE(std::to_string(lanes) + " lanes");
    ASSERT_TRUE(lanes >= 1 && lanes <= 8);
    for (int trial = 0; trial < 4; ++trial) {
      KeccakState one = random_state(rng), want = one;
      k.permute_one(one);
      keccak_f1600(want);
      EXPECT_EQ(one, want);

      std::vector<Slot> slots(2 * lanes);
      for (auto& slot : slots) {
        slot.state = random_state(rng);
        for (auto& w : slot.after) w = rng();
      }
      std::vector<Slot> expected = slots;
      std::array<KeccakState*, 8> states{};
      const std::size_t shared = trial < 2 ? lanes : static_cast<std::size_t>(trial - 1);
      for (std::size_t l = 0; l < lanes; ++l) {
        const std::size_t at = 2 * (lanes - 1 - std::min(l, shared));
        states[l] = &slots[at].state;
        if (l <= shared) keccak_f1600(expected[at].state);
      }
      k.permute_lanes(states.data());
      for (std::size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].state, expected[i].state) << "slot " << i;
        EXPECT_EQ(slots[i].after, expected[i].after) << "slot " << i;
      }
    }
  }
}

// A candidate's bytes, little-endian; `top` sets the bit of b2 that the sampler must ignore.
void put_candidate(std::uint8_t* at, std::uint32_t value, bool top) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  at[2] = static_cast<std::uint8_t>((value >> 16) | (top ? 0x80 : 0));
}

// A block of 168 bytes (the rate of SHAKE128) whose candidates are each kept with odds of one in
// `keep_one_in` (none when it is 0).
std::vector<std::uint8_t> block(unsigned keep_one_in, std::mt19937_64& rng) {
  std::vector<std::uint8_t> bytes(SHAKE128_RATE);
  std::uniform_int_distribution<std::uint32_t> kept(0, Q - 1), rejected(Q, (1u << 23) - 1);
  for (std::size_t c = 0; c < SHAKE128_RATE / 3; ++c) {
    const bool keep = keep_one_in != 0 && rng() % keep_one_in == 0;
    put_candidate(&bytes[3 * c], keep ? kept(rng) : rejected(rng), rng() % 2 == 1);
  }
  return bytes;
}

// RejNTTPoly's rule one candidate at a time, written from its definition: the reference every
// path's sampler, the portable one included, is held to.
std::size_t definition_sample(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes, std::size_t len) {
  for (std::size_t i = 0; i + 3 <= len && filled < N; i += 3) {
    const std::int32_t v = bytes[i] | (bytes[i + 1] << 8) | ((bytes[i + 2] & 0x7F) << 16);
    if (v < Q) out[filled++] = v;
  }
  return filled;
}

// Compares each path with the definition over blocks of every kind, cut to lengths around
// the vector widths, starting from counts near the end. The 32 bytes a kernel may read past `len`
// hold zeros, which would be kept if it used them; 16 guard entries follow out[255].
class RejectionPaths : public test::EachPath {};
HALYX_FOR_EACH_PATH(RejectionPaths);

TEST_P(RejectionPaths, SampleLikeTheDefinition) {
  constexpr std::int32_t GUARD = -7;
  std::mt19937_64 rng(11);
  const std::array<std::size_t, 9> lengths = {0, 3, 21, 24, 27, 45, 48, 51, SHAKE128_RATE};
  const std::array<std::size_t, 9> starts = {0, 1, 200, 240, 241, 248, 249, 255, 256};
  for (unsigned keep_one_in : {1u, 2u, 8u, 0u}) {
    const std::vector<std::uint8_t> bytes = block(keep_one_in, rng);
    for (std::size_t len : lengths) {
      // Exactly len + 32 bytes, so that the sanitizer build catches a read beyond them.
      std::vector<std::uint8_t> input(len + 32, 0);
      std::copy_n(bytes.begin(), len, input.begin());
      for (std::size_t filled : starts) {
        std::array<std::int32_t, N + 16> initial;
        initial.fill(GUARD);
        for (std::size_t i = 0; i < filled; ++i) initial[i] = static_cast<std::int32_t>(i);
        std::array<std::int32_t, N + 16> want = initial;
        const std::size_t want_count = definition_sample(want.data(), filled, input.data(), len);
        SCOPED_TRACE("keep 1 in " + std::to_string(keep_one_in) + " len " + std::to_string(len) + " filled " +
                     std::to_string(filled));
        std::array<std::int32_t, N + 16> out = initial;
        ASSERT_EQ(kernels().rejection_sample(out.data(), filled, input.data(), len), want_count);
        // The slots after the count are scratch (poly.hpp); the ones before it and the guard are not.
        for (std::size_t i = 0; i < want_count; ++i) ASSERT_EQ(out[i], want[i]) << "slot " << i;
        for (std::size_t i = N; i < out.size(); ++i) ASSERT_EQ(out[i], GUARD) << "guard " << i - N;
      }
    }
  }
}

// The boundaries every path must draw alike, without reference to another kernel: q - 1 is kept
// and q is not, both with and without the top bit of b2, which never counts.
TEST_P(RejectionPaths, KeepExactlyTheValuesBelowQ) {
  std::vector<std::uint8_t> input(12 + 32, 0xFF);
  put_candidate(&input[0], Q - 1, true);
  put_candidate(&input[3], Q, false);
  put_candidate(&input[6], 0, true);
  put_candidate(&input[9], Q, true);
  std::array<std::int32_t, N> out{};
  ASSERT_EQ(kernels().rejection_sample(out.data(), 0, input.data(), 12), 2u);
  EXPECT_EQ(out[0], Q - 1);
  EXPECT_EQ(out[1], 0);
}

}  // namespace
}  // namespace halyx::mldsa
