#include <halyx/mldsa/keccak/sponges.hpp>

#include <array>
#include <bit>
#include <cstring>

namespace halyx::mldsa {
namespace {

// The sponges waiting for a permutation, in the order they get one.
class Queue {
 public:
  bool empty() const noexcept { return head_ == nullptr; }

  Sponge* pop() noexcept {
    Sponge* s = head_;
    head_ = s->next;
    if (head_ == nullptr) tail_ = nullptr;
    return s;
  }

  void push_back(Sponge* s) noexcept {
    s->next = nullptr;
    (tail_ == nullptr ? head_ : tail_->next) = s;
    tail_ = s;
  }

  // Puts the chain first -> ... -> last ahead of everything waiting.
  void push_front(Sponge* first, Sponge* last) noexcept {
    last->next = head_;
    if (head_ == nullptr) tail_ = last;
    head_ = first;
  }

 private:
  Sponge* head_ = nullptr;
  Sponge* tail_ = nullptr;
};

// XORs the next block of input into s: a whole block, or the last partial one with the SHAKE
// padding, after which s squeezes. An input that fills its last block exactly is followed by a
// block of padding alone. The first block is written rather than XORed, and only the words past
// it are cleared: zeroing the whole state first (GCC makes a fixed 200 bytes a rep stos, slow to
// start), or a loop of 25 stores, each took about 1 us of expand_a's 11; the library's memset of
// a length known only at run time is vector stores.
void feed(Sponge& s, bool first) noexcept {
  const std::size_t rest = s.input.size() + s.tail.size() - s.absorbed;
  const std::size_t take = rest < s.rate ? rest : s.rate, whole = take / 8;
  // The block where it stands, or copied together when it straddles the input and the tail.
  alignas(8) std::array<std::uint8_t, SHAKE128_RATE> joined;
  const std::uint8_t* in = nullptr;
  if (s.absorbed + take <= s.input.size()) {
    in = s.input.data() + s.absorbed;
  } else if (s.absorbed >= s.input.size()) {
    in = s.tail.data() + (s.absorbed - s.input.size());
  } else {
    const std::size_t head = s.input.size() - s.absorbed;
    std::memcpy(joined.data(), s.input.data() + s.absorbed, head);
    std::memcpy(joined.data() + head, s.tail.data(), take - head);
    in = joined.data();
  }
  if (first) {
    for (std::size_t w = 0; w < whole; ++w) s.state[w] = load_le64(in + 8 * w);
    std::memset(s.state.data() + whole, 0, 8 * (KECCAK_WORDS - whole));
  } else {
    for (std::size_t w = 0; w < whole; ++w) s.state[w] ^= load_le64(in + 8 * w);
  }
  s.absorbed += take;
  if (rest >= s.rate) return;
  for (std::size_t i = 8 * whole; i < take; ++i) s.state[i / 8] ^= std::uint64_t{in[i]} << (8 * (i % 8));
  s.state[take / 8] ^= std::uint64_t{SHAKE_PAD} << (8 * (take % 8));
  s.state[(s.rate - 1) / 8] ^= std::uint64_t{0x80} << (8 * ((s.rate - 1) % 8));
  s.squeezing = true;
}

// Hands s's squeezed block to its consumer; returns true when it wants no more. On a little-endian
// CPU the state's bytes are the block, so the consumer reads them where they are.
bool deliver(Sponge& s) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return s.consume(s.context, reinterpret_cast<const std::uint8_t*>(s.state.data()), s.rate);
  } else {
    std::array<std::uint8_t, 8 * KECCAK_WORDS> block;
    keccak_store_state(s.state, block.data());
    return s.consume(s.context, block.data(), s.rate);
  }
}

template <std::size_t Lanes>
void run(std::span<Sponge> batch, const Kernels& kernels) noexcept {
  Queue waiting;
  for (Sponge& s : batch) {
    s.absorbed = 0;
    s.squeezing = false;
    feed(s, true);
    waiting.push_back(&s);
  }
  alignas(64) KeccakState idle{};  // permuted in the lanes no sponge needs
  for (;;) {
    std::array<Sponge*, Lanes> picked;
    std::array<KeccakState*, Lanes> states;
    std::size_t count = 0;
    for (; count < Lanes && !waiting.empty(); ++count) {
      picked[count] = waiting.pop();
      states[count] = &picked[count]->state;
    }
    if (count == 0) return;
    if (count == 1) {
      kernels.permute_one(*states[0]);  // quicker than a batch of one
    } else {
      for (std::size_t l = count; l < Lanes; ++l) states[l] = &idle;
      kernels.permute_lanes(states.data());
    }
    // Sponges still absorbing go back to the front in their order, the others to the back.
    Sponge* first = nullptr;
    Sponge* last = nullptr;
    for (std::size_t l = 0; l < count; ++l) {
      Sponge& s = *picked[l];
      if (!s.squeezing) {
        feed(s, false);
        (last == nullptr ? first : last->next) = &s;
        last = &s;
      } else if (!deliver(s)) {
        waiting.push_back(&s);
      } else if (Sponge* next = s.then; next != nullptr) {
        // Its input is written now: it starts absorbing, in the next batch.
        next->absorbed = 0;
        next->squeezing = false;
        feed(*next, true);
        (last == nullptr ? first : last->next) = next;
        last = next;
      }
    }
    if (first != nullptr) waiting.push_front(first, last);
  }
}

}  // namespace

void run_sponges(std::span<Sponge> batch, const Kernels& kernels) noexcept {
  switch (kernels.keccak_lanes) {
    case 8:
      return run<8>(batch, kernels);
    case 5:
      return run<5>(batch, kernels);
    case 4:
      return run<4>(batch, kernels);
    case 3:
      return run<3>(batch, kernels);
    case 2:
      return run<2>(batch, kernels);
    default:
      return run<1>(batch, kernels);
  }
}

}  // namespace halyx::mldsa
