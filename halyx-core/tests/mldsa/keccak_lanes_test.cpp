// Every code path this CPU has computes what the portable one does: Keccak-f[1600] on one state and
// on each lane of its interleaved states, and so the verdict on every known-answer vector.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mldsa/keccak.hpp"
#include "mldsa/params.hpp"
#include "mldsa/path.hpp"
#include "mldsa/verifier.hpp"
#include "signing/fixtures.hpp"

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

// Each lane gets its own random state, so a kernel that mixes lanes or drops one fails; the words
// after the last lane must stay as they were.
TEST(KeccakPaths, PermuteLikeTheReferenceOnEveryLane) {
  std::mt19937_64 rng(7);
  for (Path p : available_paths()) {
    SCOPED_TRACE(std::string(path_name(p)));
    const Kernels& k = kernels_for(p);
    const std::size_t lanes = k.keccak_lanes;
    ASSERT_TRUE(lanes >= 1 && lanes <= 8);
    for (int trial = 0; trial < 4; ++trial) {
      KeccakState one = random_state(rng), want = one;
      k.permute_one(one);
      keccak_f1600(want);
      EXPECT_EQ(one, want);

      std::vector<KeccakState> states(lanes);
      alignas(64) std::array<std::uint64_t, KECCAK_WORDS * 8 + 8> words;
      words.fill(0x5A5A5A5A5A5A5A5Au);
      for (std::size_t l = 0; l < lanes; ++l) {
        states[l] = random_state(rng);
        for (std::size_t w = 0; w < KECCAK_WORDS; ++w) words[w * lanes + l] = states[l][w];
      }
      k.permute_lanes(words.data());
      for (std::size_t l = 0; l < lanes; ++l) {
        keccak_f1600(states[l]);
        for (std::size_t w = 0; w < KECCAK_WORDS; ++w) EXPECT_EQ(words[w * lanes + l], states[l][w]) << "lane " << l;
      }
      for (std::size_t i = KECCAK_WORDS * lanes; i < words.size(); ++i) EXPECT_EQ(words[i], 0x5A5A5A5A5A5A5A5Au);
    }
  }
}

// The known-answer vectors through prepare and decide on every path. Keys of another length never
// reach prepare (the handle refuses them first), and all of those rows are invalid.
TEST(VerifierPaths, DecideEveryKnownAnswerVectorAlike) {
  const auto rows = test::read_rows("mldsa65_verify.txt");
  ASSERT_EQ(rows.size(), 270u);
  for (Path p : available_paths()) {
    SCOPED_TRACE(std::string(path_name(p)));
    int valid = 0, other_key_length = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE("case " + std::to_string(i));
      const auto& r = rows[i];
      const ByteString pk = test::from_hex(r[1]), msg = test::from_hex(r[2]), ctx = test::from_hex(r[3]),
                       sig = test::from_hex(r[4]);
      if (pk.size() != PUBLIC_KEY_BYTES) {
        EXPECT_EQ(r[0], "0");
        ++other_key_length;
        continue;
      }
      const bool accepted = prepare(PublicKeyView(pk.data(), PUBLIC_KEY_BYTES), sig, kernels_for(p)).decide(msg, ctx);
      EXPECT_EQ(accepted, r[0] == "1");
      valid += accepted ? 1 : 0;
    }
    EXPECT_EQ(valid, 91);
    EXPECT_EQ(other_key_length, 4);
  }
}

}  // namespace
}  // namespace halyx::mldsa
