#include "mldsa/sponges.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "mldsa/keccak.hpp"

namespace halyx::mldsa {
namespace {

inline constexpr std::size_t BLOCK_SLACK = 32;  // consumers may over-read a block by this much
inline constexpr std::size_t MAX_RATE = SHAKE128_RATE;

// What one lane is doing: absorbing the input of `sponge`, or squeezing it.
struct Lane {
  Sponge* sponge = nullptr;
  std::size_t absorbed = 0;  // input bytes already in the state
  bool squeezing = false;
};

// `Lanes` states side by side. The count is a constant so that the stride between a state's words
// is one too: moving a block in or out of the interleaved layout is then a run of plain loads and
// stores, which matters, since it happens after every permutation of every lane.
template <std::size_t Lanes>
class LaneSet {
 public:
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
    std::uint8_t* block = blocks_[l].data();
    for (std::size_t w = 0; w < rate / 8; ++w) store_le64(block + 8 * w, word(w, l));
    return !lane.sponge->consume(lane.sponge->context, block, rate);
  }

  bool busy(std::size_t l) const noexcept { return lane_[l].sponge != nullptr; }
  void release(std::size_t l) noexcept { lane_[l] = Lane{}; }
  std::uint64_t* states() noexcept { return states_.data(); }

 private:
  std::uint64_t& word(std::size_t w, std::size_t l) noexcept { return states_[w * Lanes + l]; }

  // XORs the next block of input into lane l: a whole block, or the last partial one with the
  // SHAKE padding, after which the lane squeezes. A block that fills the rate exactly is followed
  // by a block of padding alone.
  void feed(std::size_t l) noexcept {
    Lane& lane = lane_[l];
    const std::size_t rate = lane.sponge->rate;
    const auto rest = lane.sponge->input.subspan(lane.absorbed);
    if (rest.size() >= rate) {
      for (std::size_t w = 0; w < rate / 8; ++w) word(w, l) ^= load_le64(rest.data() + 8 * w);
      lane.absorbed += rate;
      return;
    }
    std::array<std::uint8_t, MAX_RATE> block{};
    if (!rest.empty()) std::memcpy(block.data(), rest.data(), rest.size());
    lane.absorbed += rest.size();
    block[rest.size()] ^= SHAKE_PAD;
    block[rate - 1] ^= 0x80;
    lane.squeezing = true;
    for (std::size_t w = 0; w < rate / 8; ++w) word(w, l) ^= load_le64(block.data() + 8 * w);
  }

  alignas(64) std::array<std::uint64_t, KECCAK_WORDS * Lanes> states_{};
  std::array<Lane, Lanes> lane_{};
  // Each lane's last squeezed block; zeroed once, so the slack a consumer may read is defined.
  alignas(64) std::array<std::array<std::uint8_t, MAX_RATE + BLOCK_SLACK>, Lanes> blocks_{};
};

template <std::size_t Lanes>
void run(std::span<Sponge> batch, const Kernels& kernels) noexcept {
  LaneSet<Lanes> set;
  std::size_t next = 0;
  for (;;) {
    std::size_t active = 0;
    for (std::size_t l = 0; l < Lanes; ++l) {
      if (!set.busy(l) && next < batch.size()) set.start(l, &batch[next++]);
      active += set.busy(l) ? 1 : 0;
    }
    if (active == 0) return;
    kernels.permute_lanes(set.states());
    for (std::size_t l = 0; l < Lanes; ++l) {
      if (set.busy(l) && !set.advance(l)) set.release(l);
    }
  }
}

}  // namespace

void run_sponges(std::span<Sponge> batch, const Kernels& kernels) noexcept {
  switch (kernels.keccak_lanes) {
    case 8:
      return run<8>(batch, kernels);
    case 4:
      return run<4>(batch, kernels);
    default:
      return run<1>(batch, kernels);
  }
}

}  // namespace halyx::mldsa
