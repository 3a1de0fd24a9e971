#include "mldsa/sponges.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "mldsa/keccak.hpp"

namespace halyx::mldsa {
namespace {

inline constexpr std::size_t MAX_LANES = 8;
inline constexpr std::size_t BLOCK_SLACK = 32;  // consumers may over-read a block by this much

// What one lane is doing: absorbing the input of `sponge`, or squeezing it.
struct Lane {
  Sponge* sponge = nullptr;
  std::size_t absorbed = 0;  // input bytes already in the state
  bool squeezing = false;
};

class LaneSet {
 public:
  explicit LaneSet(std::size_t lanes) noexcept : lanes_(lanes) {}

  // Zeroes lane l's state and feeds it the first block of `s`.
  void start(std::size_t l, Sponge* s) noexcept {
    for (std::size_t w = 0; w < KECCAK_WORDS; ++w) word(w, l) = 0;
    lane_[l] = Lane{s, 0, false};
    feed(l);
  }

  // Called after each permutation: absorbs the next block, or squeezes one to the consumer.
  // Returns false when the lane's sponge is done.
  bool advance(std::size_t l) noexcept {
    Lane& lane = lane_[l];
    if (!lane.squeezing) {
      feed(l);
      return true;
    }
    const std::size_t rate = lane.sponge->rate;
    std::array<std::uint8_t, SHAKE128_RATE + BLOCK_SLACK> block{};
    for (std::size_t w = 0; w < rate / 8; ++w) store_le64(block.data() + 8 * w, word(w, l));
    return !lane.sponge->consume(lane.sponge->context, block.data(), rate);
  }

  bool busy(std::size_t l) const noexcept { return lane_[l].sponge != nullptr; }
  void release(std::size_t l) noexcept { lane_[l] = Lane{}; }
  std::uint64_t* states() noexcept { return states_.data(); }

 private:
  std::uint64_t& word(std::size_t w, std::size_t l) noexcept { return states_[w * lanes_ + l]; }

  // XORs the next block of input into lane l: a whole block, or the last partial one with the
  // SHAKE padding, after which the lane squeezes.
  void feed(std::size_t l) noexcept {
    Lane& lane = lane_[l];
    const std::size_t rate = lane.sponge->rate;
    const auto rest = lane.sponge->input.subspan(lane.absorbed);
    std::array<std::uint8_t, SHAKE128_RATE> block{};
    const std::size_t take = std::min(rest.size(), rate);
    if (take != 0) std::memcpy(block.data(), rest.data(), take);
    lane.absorbed += take;
    if (take < rate) {
      block[take] ^= SHAKE_PAD;
      block[rate - 1] ^= 0x80;
      lane.squeezing = true;
    }
    // A block that fills the rate exactly is followed by a block of padding alone.
    for (std::size_t w = 0; w < rate / 8; ++w) word(w, l) ^= load_le64(block.data() + 8 * w);
  }

  std::size_t lanes_;
  alignas(64) std::array<std::uint64_t, KECCAK_WORDS * MAX_LANES> states_{};
  std::array<Lane, MAX_LANES> lane_{};
};

}  // namespace

void run_sponges(std::span<Sponge> batch, const Kernels& kernels) noexcept {
  const std::size_t lanes = std::min(kernels.keccak_lanes, MAX_LANES);
  LaneSet set(lanes);
  std::size_t next = 0;
  for (;;) {
    std::size_t active = 0;
    for (std::size_t l = 0; l < lanes; ++l) {
      if (!set.busy(l) && next < batch.size()) set.start(l, &batch[next++]);
      active += set.busy(l) ? 1 : 0;
    }
    if (active == 0) return;
    kernels.permute_lanes(set.states());
    for (std::size_t l = 0; l < lanes; ++l) {
      if (set.busy(l) && !set.advance(l)) set.release(l);
    }
  }
}

}  // namespace halyx::mldsa
