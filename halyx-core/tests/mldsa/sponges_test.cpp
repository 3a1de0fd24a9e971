// SHAKE in one state (Shake) and in many at once (the multi-sponge driver, on every path): the
// driver's output equals Shake's whatever the rate, input length and output length, and its
// lanes stay busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "mldsa/each_path.hpp"
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/keccak/sponges.hpp>

namespace halyx::mldsa {
namespace {

// Takes `blocks` blocks, then wants no more.
struct Collector {
  std::size_t blocks;
  std::vector<std::uint8_t> out;
};

bool collect(void* context, const std::uint8_t* block, std::size_t rate) noexcept {
  auto& c = *static_cast<Collector*>(context);
  c.out.insert(c.out.end(), block, block + rate);
  return c.out.size() == c.blocks * rate;
}

template <std::size_t Rate>
std::vector<std::uint8_t> shake(const std::vector<std::uint8_t>& input, std::size_t bytes) {
  Shake<Rate> h;
  h.absorb(input);
  std::vector<std::uint8_t> out(bytes);
  h.squeeze(out);
  return out;
}

// The published SHAKE outputs for the empty input anchor the single-state Shake that the driver
// is compared with below.
TEST(Shake, GivesThePublishedOutputForTheEmptyInput) {
  const std::vector<std::uint8_t> shake128 = {0x7f, 0x9c, 0x2b, 0xa4, 0xe8, 0x8f, 0x82, 0x7d,
                                               0x61, 0x60, 0x45, 0x50, 0x76, 0x05, 0x85, 0x3e};
  const std::vector<std::uint8_t> shake256 = {0x46, 0xb9, 0xdd, 0x2b, 0x0b, 0xa8, 0x8d, 0x13,
                                               0x23, 0x3b, 0x3f, 0xeb, 0x74, 0x3e, 0xeb, 0x24};
  EXPECT_EQ(shake<SHAKE128_RATE>({}, 16), shake128);
  EXPECT_EQ(shake<SHAKE256_RATE>({}, 16), shake256);
}

// Absorbing and squeezing in pieces gives what one call gives, for pieces that start and end
// inside a word, on word ends, and across the end of a block.
template <std::size_t Rate>
void expect_pieces_change_nothing() {
  std::mt19937_64 rng(Rate);
  std::vector<std::uint8_t> input(4 * Rate + 5);
  for (auto& b : input) b = static_cast<std::uint8_t>(rng());
  const std::vector<std::uint8_t> whole = shake<Rate>(input, 3 * Rate + 9);
  const std::array<std::size_t, 7> pieces = {1, 3, 8, 13, Rate - 1, Rate, Rate + 9};
  for (std::size_t piece : pieces) {
    SCOPED_TRACE("rate " + std::to_string(Rate) + " pieces of " + std::to_string(piece));
    Shake<Rate> h;
    for (std::size_t at = 0; at < input.size(); at += piece) {
      h.absorb(std::span(input).subspan(at, std::min(piece, input.size() - at)));
    }
    std::vector<std::uint8_t> out(whole.size());
    for (std::size_t at = 0; at < out.size(); at += piece) {
      h.squeeze(std::span(out).subspan(at, std::min(piece, out.size() - at)));
    }
    EXPECT_EQ(out, whole);
  }
}

TEST(Shake, AbsorbsAndSqueezesInAnyPieces) {
  expect_pieces_change_nothing<SHAKE128_RATE>();
  expect_pieces_change_nothing<SHAKE256_RATE>();
}

class Sponges : public test::EachPath {};
HALYX_FOR_EACH_PATH(Sponges);

// One batch of 44 sponges, more than any path has lanes: both rates, inputs on either side of one
// and two blocks (an input that fills a block exactly needs a block of padding alone), output of
// one to five blocks. A consumer called once more than it asked for fails the length check.
TEST_P(Sponges, SqueezeWhatTheSingleStateShakeDoes) {
  std::mt19937_64 rng(3);
  std::vector<std::vector<std::uint8_t>> inputs;
  std::vector<Collector> collectors;
  std::vector<Sponge> sponges;
  for (std::size_t rate : {SHAKE256_RATE, SHAKE128_RATE}) {
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{8}, rate - 1, rate, rate + 1, 2 * rate - 1,
                            2 * rate, 2 * rate + 1, 2 * rate + 7, std::size_t{1952}}) {
      for (std::size_t blocks : {1u, 4u}) {
        std::vector<std::uint8_t> input(len);
        for (auto& b : input) b = static_cast<std::uint8_t>(rng());
        inputs.push_back(std::move(input));
        collectors.push_back(Collector{blocks + len % 2, {}});
        sponges.emplace_back().set(rate, {}, collect, nullptr);
      }
    }
  }
  for (std::size_t i = 0; i < sponges.size(); ++i) {
    sponges[i].input = inputs[i];
    sponges[i].context = &collectors[i];
  }
  // The second run starts from the first one's leftovers, which it must ignore.
  for (const Kernels* k : test::lane_variants(GetParam())) {
    for (int run = 0; run < 2; ++run) {
      for (auto& c : collectors) c.out.clear();
      run_sponges(sponges, *k);
      for (std::size_t i = 0; i < sponges.size(); ++i) {
        const std::size_t rate = sponges[i].rate, bytes = collectors[i].blocks * rate;
        SCOPED_TRACE(std::to_string(k->keccak_lanes) + " lanes, run " + std::to_string(run) + " rate " +
                     std::to_string(rate) + " input " + std::to_string(inputs[i].size()) + " output " +
                     std::to_string(bytes));
        EXPECT_EQ(collectors[i].out, rate == SHAKE128_RATE ? shake<SHAKE128_RATE>(inputs[i], bytes)
                                                           : shake<SHAKE256_RATE>(inputs[i], bytes));
      }
    }
  }
}

// A writes its first output block where B's input is, and B starts only then (`then`); B also absorbs
// a tail after its input, split at every offset near a block's end. Each must squeeze what one
// state absorbing the whole input gives.
struct Relay {
  std::vector<std::uint8_t>* into;
};

bool relay(void* context, const std::uint8_t* block, std::size_t rate) noexcept {
  auto& r = *static_cast<Relay*>(context);
  std::copy(block, block + std::min(rate, r.into->size()), r.into->begin());
  return true;
}

TEST_P(Sponges, StartAfterTheirParentAndAbsorbATail) {
  std::mt19937_64 rng(4);
  std::vector<std::uint8_t> tail_bytes(2 * SHAKE256_RATE + 9);
  for (auto& b : tail_bytes) b = static_cast<std::uint8_t>(rng());
  const std::vector<std::uint8_t> parent_input(100, 0xA5);
  for (std::size_t head : {std::size_t{0}, std::size_t{1}, std::size_t{64}, SHAKE256_RATE - 1, SHAKE256_RATE,
                           SHAKE256_RATE + 1}) {
    for (std::size_t tail : {std::size_t{0}, std::size_t{1}, SHAKE256_RATE - head % SHAKE256_RATE, tail_bytes.size()}) {
      SCOPED_TRACE("input " + std::to_string(head) + ", tail " + std::to_string(tail));
      std::vector<std::uint8_t> child_input(head, 0);  // written by the parent's consumer
      Relay to_child{&child_input};
      Collector child_out{2, {}};
      std::array<Sponge, 2> sponges;
      sponges[0].set(SHAKE256_RATE, parent_input, relay, &to_child);
      sponges[1].set(SHAKE256_RATE, child_input, collect, &child_out, std::span(tail_bytes).first(tail));
      sponges[0].then = &sponges[1];
      run_sponges(std::span(sponges).first(1), kernels());
      std::vector<std::uint8_t> whole = shake<SHAKE256_RATE>(parent_input, std::min(head, SHAKE256_RATE));
      whole.resize(head, 0);
      whole.insert(whole.end(), tail_bytes.begin(), tail_bytes.begin() + static_cast<std::ptrdiff_t>(tail));
      EXPECT_EQ(child_out.out, shake<SHAKE256_RATE>(whole, 2 * SHAKE256_RATE));
    }
  }
}

// Counts the batches a path's kernels run.
std::size_t batches = 0;
void (*real_permute_lanes)(KeccakState* const*) noexcept = nullptr;
void counted_permute_lanes(KeccakState* const* states) noexcept {
  ++batches;
  real_permute_lanes(states);
}
void (*real_permute_one)(KeccakState&) noexcept = nullptr;
void counted_permute_one(KeccakState& state) noexcept {
  ++batches;
  real_permute_one(state);
}

// The sponges of a verification: tr (15 permutations), the challenge (one) and 30 entries of A
// (five each), 166 permutations that fill 21 batches of 8, 34 of 5 or 42 of 4 only if no lane
// idles before the end. Keeping each sponge in one lane would take 25 batches of 8. With an STH's
// mu after tr (two permutations over tr, the context and 150 bytes), 168 fill the same 21 batches
// of 8.
TEST_P(Sponges, KeepEveryLaneBusyUntilTheEnd) {
  const std::vector<std::uint8_t> key(1952, 0x5A), c_tilde(48, 0xC3), seed(34, 0x17), message(64 + 2 + 12 + 150, 0x3C);
  for (const Kernels* variant : test::lane_variants(GetParam())) {
    Kernels counting = *variant;
    real_permute_lanes = counting.permute_lanes;
    real_permute_one = counting.permute_one;
    counting.permute_lanes = counted_permute_lanes;
    counting.permute_one = counted_permute_one;
    for (const bool with_mu : {false, true}) {
      SCOPED_TRACE(std::to_string(counting.keccak_lanes) + (with_mu ? " lanes, with mu" : " lanes, without mu"));
      std::array<Collector, 33> collectors;
      std::array<Sponge, 33> sponges;
      collectors[0] = Collector{1, {}};
      sponges[0].set(SHAKE256_RATE, key, collect, &collectors[0]);
      collectors[1] = Collector{1, {}};
      sponges[1].set(SHAKE256_RATE, c_tilde, collect, &collectors[1]);
      for (std::size_t e = 2; e < 32; ++e) {
        collectors[e] = Collector{5, {}};
        sponges[e].set(SHAKE128_RATE, seed, collect, &collectors[e]);
      }
      collectors[32] = Collector{1, {}};
      sponges[32].set(SHAKE256_RATE, message, collect, &collectors[32]);
      if (with_mu) sponges[0].then = &sponges[32];
      batches = 0;
      run_sponges(std::span(sponges).first(32), counting);
      const std::size_t lanes = counting.keccak_lanes, permutations = with_mu ? 168 : 166;
      EXPECT_EQ(batches, (permutations + lanes - 1) / lanes);
      EXPECT_EQ(collectors[32].out.size(), with_mu ? SHAKE256_RATE : 0);
    }
  }
}

}  // namespace
}  // namespace halyx::mldsa
