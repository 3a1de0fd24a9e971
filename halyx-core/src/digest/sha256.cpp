#include <halyx/digest/sha256.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include <halyx/digest/sha256_compress.hpp>

namespace halyx::digest {

namespace {

// The state's words, big-endian.
Hash32 digest_of(const detail::Sha256State& state) noexcept {
  std::array<std::uint32_t, 8> words{};
  for (std::size_t i = 0; i < state.size(); ++i) {
    words[i] = std::endian::native == std::endian::big ? state[i] : std::byteswap(state[i]);
  }
  return std::bit_cast<Hash32>(words);
}

// The x86 SHA extensions, which the register-resident pair chain needs.
bool sha_ni_available() noexcept {
  static const bool available = detail::cpu_has_sha_ni();
  return available;
}

// One link of a pair chain written out and padded, for the block function: two blocks.
class PairPreimage {
 public:
  static constexpr std::size_t LENGTH = 1 + 2 * HASH_LENGTH;
  static constexpr std::size_t BLOCKS = padded_blocks(LENGTH);

  explicit PairPreimage(std::uint8_t prefix) noexcept {
    bytes_[0] = prefix;
    pad_in_place(bytes_.data(), LENGTH);
  }
  // Sets the link's two hashes and returns the padded blocks.
  const std::uint8_t* set(const Hash32& left, const Hash32& right) noexcept {
    std::copy(left.begin(), left.end(), bytes_.begin() + 1);
    std::copy(right.begin(), right.end(), bytes_.begin() + 1 + HASH_LENGTH);
    return bytes_.data();
  }

 private:
  std::array<std::uint8_t, BLOCKS * detail::SHA256_BLOCK> bytes_{};
};

// The pair chain link by link, each link's digest given by hash(padded, blocks).
template <class Hash>
Hash32 pair_chain_through(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                          std::uint64_t other_on_left, Hash hash) noexcept {
  PairPreimage preimage(prefix);
  Hash32 h = start;
  for (std::size_t i = 0; i < others.size(); ++i) {
    const bool left = ((other_on_left >> i) & 1) != 0;
    h = hash(left ? preimage.set(others[i], h) : preimage.set(h, others[i]), PairPreimage::BLOCKS);
  }
  return h;
}

}  // namespace

namespace detail {

// tail_ is written in full here, before anything reads it: the rest of the message, 0x80, zeros, the
// length.
PaddedMessage::PaddedMessage(ByteView message) noexcept : data_(message.data()), whole_(message.size() / SHA256_BLOCK) {
  const std::size_t rest = message.size() % SHA256_BLOCK;
  if (rest != 0) std::memcpy(tail_.data(), message.data() + whole_ * SHA256_BLOCK, rest);
  tail_[rest] = 0x80;
  tail_blocks_ = rest + 1 + 8 > SHA256_BLOCK ? 2 : 1;
  const std::size_t end = tail_blocks_ * SHA256_BLOCK;
  std::memset(tail_.data() + rest + 1, 0, end - 8 - (rest + 1));
  const std::uint64_t bits = std::uint64_t{message.size()} * 8;
  for (std::size_t i = 0; i < 8; ++i) tail_[end - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace detail

bool Sha256::hardware_available() noexcept {
  static const bool available = detail::cpu_has_sha256_instructions();
  return available;
}

Sha256::Sha256(detail::Engine engine) noexcept
    : hardware_(engine == detail::Engine::Best && hardware_available()), state_(detail::SHA256_INITIAL_STATE) {}

void Sha256::compress(const std::uint8_t* blocks, std::size_t count) noexcept {
  if (hardware_) {
    detail::compress_hw(state_, blocks, count);
  } else {
    detail::compress_portable(state_, blocks, count);
  }
}

void Sha256::update(ByteView data) noexcept {
  length_ += data.size();
  if (buffered_ != 0) {
    const std::size_t take = std::min(BLOCK - buffered_, data.size());
    if (take != 0) std::memcpy(buffer_.data() + buffered_, data.data(), take);
    buffered_ += take;
    data = data.subspan(take);
    if (buffered_ < BLOCK) return;
    compress(buffer_.data(), 1);
    buffered_ = 0;
  }
  const std::size_t whole = data.size() / BLOCK;
  if (whole != 0) compress(data.data(), whole);
  data = data.subspan(whole * BLOCK);
  if (!data.empty()) std::memcpy(buffer_.data(), data.data(), data.size());
  buffered_ = data.size();
}

Hash32 Sha256::finish() noexcept {
  // Padding: 0x80, zeros up to 56 bytes into a block, then the length in bits, big-endian.
  const std::uint64_t bits = length_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > BLOCK - 8) {
    std::memset(buffer_.data() + buffered_, 0, BLOCK - buffered_);
    compress(buffer_.data(), 1);
    buffered_ = 0;
  }
  std::memset(buffer_.data() + buffered_, 0, BLOCK - 8 - buffered_);
  for (std::size_t i = 0; i < 8; ++i) buffer_[BLOCK - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  compress(buffer_.data(), 1);
  return digest_of(state_);
}


void detail::sha256_x4(std::span<const ByteView, 4> messages, std::span<Hash32, 4> out, Engine engine) noexcept {
  const bool hardware = engine == detail::Engine::Best;
  constexpr std::size_t L = detail::SHA256_LANES;
  const bool hw = hardware && Sha256::hardware_available();
  std::array<detail::Sha256State, L> states;  // each set below before use
  const std::array<detail::PaddedMessage, L> padded = {detail::PaddedMessage(messages[0]), detail::PaddedMessage(messages[1]),
                                                       detail::PaddedMessage(messages[2]), detail::PaddedMessage(messages[3])};
  std::size_t common = padded[0].blocks();
  for (std::size_t l = 0; l < L; ++l) {
    states[l] = detail::SHA256_INITIAL_STATE;
    common = std::min(common, padded[l].blocks());
  }
  std::size_t k = 0;
  if (hw) {
    // The blocks all four have, a few at a time; then each lane's own.
    constexpr std::size_t BATCH = 8;
    std::array<detail::BlockQuad, BATCH> quads;  // the first n filled before each call
    while (k < common) {
      const std::size_t n = std::min(BATCH, common - k);
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t l = 0; l < L; ++l) quads[j][l] = padded[l].block(k + j);
      }
      detail::compress_hw_x4(states, quads.data(), n);
      k += n;
    }
  }
  for (std::size_t l = 0; l < L; ++l) {
    for (std::size_t b = k; b < padded[l].blocks(); ++b) {
      if (hw) {
        detail::compress_hw(states[l], padded[l].block(b), 1);
      } else {
        detail::compress_portable(states[l], padded[l].block(b), 1);
      }
    }
    out[l] = digest_of(states[l]);
  }
}

std::size_t pad_in_place(std::uint8_t* data, std::size_t length) noexcept {
  const std::size_t end = padded_blocks(length) * detail::SHA256_BLOCK;
  data[length] = 0x80;
  std::memset(data + length + 1, 0, end - 8 - (length + 1));
  const std::uint64_t bits = std::uint64_t{length} * 8;
  for (std::size_t i = 0; i < 8; ++i) data[end - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return end / detail::SHA256_BLOCK;
}

void detail::sha256_x4_padded(std::span<const std::uint8_t* const, 4> padded, std::size_t blocks,
                              std::span<Hash32, 4> out, Engine engine) noexcept {
  const bool hardware = engine == detail::Engine::Best;
  constexpr std::size_t L = detail::SHA256_LANES;
  std::array<detail::Sha256State, L> states;  // each set below before use
  for (std::size_t l = 0; l < L; ++l) states[l] = detail::SHA256_INITIAL_STATE;
  if (hardware && Sha256::hardware_available()) {
    constexpr std::size_t BATCH = 8;
    std::array<detail::BlockQuad, BATCH> quads;  // the first n filled before each call
    for (std::size_t k = 0; k < blocks;) {
      const std::size_t n = std::min(BATCH, blocks - k);
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t l = 0; l < L; ++l) quads[j][l] = padded[l] + (k + j) * detail::SHA256_BLOCK;
      }
      detail::compress_hw_x4(states, quads.data(), n);
      k += n;
    }
  } else {
    for (std::size_t l = 0; l < L; ++l) detail::compress_portable(states[l], padded[l], blocks);
  }
  for (std::size_t l = 0; l < L; ++l) out[l] = digest_of(states[l]);
}

Hash32 detail::sha256_padded(const std::uint8_t* padded, std::size_t blocks, Engine engine) noexcept {
  const bool hardware = engine == detail::Engine::Best;
  detail::Sha256State state = detail::SHA256_INITIAL_STATE;
  if (hardware && Sha256::hardware_available()) {
    detail::compress_hw(state, padded, blocks);
  } else {
    detail::compress_portable(state, padded, blocks);
  }
  return digest_of(state);
}

Sha256Beside::Sha256Beside(ByteView message, detail::Engine engine) noexcept
    : message_(message), hardware_(engine == detail::Engine::Best && Sha256::hardware_available()) {}

Hash32 Sha256Beside::hash_padded(const std::uint8_t* padded, std::size_t blocks) noexcept {
  if (!hardware_) return detail::sha256_padded(padded, blocks, detail::Engine::Portable);
  std::array<detail::Sha256State, 2> states = {detail::SHA256_INITIAL_STATE, state_};
  std::size_t k = 0;
  // A few pairs to a call: one call per pair costs about a tenth more.
  constexpr std::size_t BATCH = 4;
  std::array<detail::BlockPair, BATCH> pairs;  // the first n filled before each call
  while (k < blocks && next_ < message_.blocks()) {
    const std::size_t n = std::min({BATCH, blocks - k, message_.blocks() - next_});
    for (std::size_t j = 0; j < n; ++j) pairs[j] = {padded + (k + j) * detail::SHA256_BLOCK, message_.block(next_ + j)};
    detail::compress_hw_x2(states, pairs.data(), n);
    k += n;
    next_ += n;
  }
  if (k < blocks) detail::compress_hw(states[0], padded + k * detail::SHA256_BLOCK, blocks - k);
  state_ = states[1];
  return digest_of(states[0]);
}

Hash32 detail::sha256_pair_chain(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                                 std::uint64_t other_on_left, Engine engine) noexcept {
  const bool hardware = engine == detail::Engine::Best;
  if (hardware && sha_ni_available()) {
    Hash32 h = start;
    detail::pair_chain_sha_ni(prefix, h, others.data(), others.size(), other_on_left, nullptr, nullptr, 0);
    return h;
  }
  return pair_chain_through(prefix, start, others, other_on_left, [engine](const std::uint8_t* padded, std::size_t blocks) {
    return sha256_padded(padded, blocks, engine);
  });
}

Hash32 Sha256Beside::pair_chain(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                                std::uint64_t other_on_left) noexcept {
  if (hardware_ && sha_ni_available()) {
    constexpr std::size_t MOST = std::size_t{2} * 64;  // two blocks beside each of at most 64 links
    std::array<const std::uint8_t*, MOST> blocks;  // the first n set below
    const std::size_t n = std::min({MOST, 2 * others.size(), message_.blocks() - next_});
    for (std::size_t j = 0; j < n; ++j) blocks[j] = message_.block(next_ + j);
    Hash32 h = start;
    detail::pair_chain_sha_ni(prefix, h, others.data(), others.size(), other_on_left, &state_, blocks.data(), n);
    next_ += n;
    return h;
  }
  return pair_chain_through(prefix, start, others, other_on_left, [this](const std::uint8_t* padded, std::size_t blocks) {
    return hash_padded(padded, blocks);
  });
}

Hash32 Sha256Beside::finish() noexcept {
  for (; next_ < message_.blocks(); ++next_) {
    if (hardware_) {
      detail::compress_hw(state_, message_.block(next_), 1);
    } else {
      detail::compress_portable(state_, message_.block(next_), 1);
    }
  }
  return digest_of(state_);
}

Hash32 sha256(std::initializer_list<ByteView> parts) noexcept {
  Sha256 h;
  for (ByteView part : parts) h.update(part);
  return h.finish();
}

Hash32 sha256(ByteView data) noexcept { return sha256({data}); }

void sha256_x4(std::span<const ByteView, 4> messages, std::span<Hash32, 4> out) noexcept {
  detail::sha256_x4(messages, out, detail::Engine::Best);
}

void sha256_x4_padded(std::span<const std::uint8_t* const, 4> padded, std::size_t blocks,
                      std::span<Hash32, 4> out) noexcept {
  detail::sha256_x4_padded(padded, blocks, out, detail::Engine::Best);
}

Hash32 sha256_padded(const std::uint8_t* padded, std::size_t blocks) noexcept {
  return detail::sha256_padded(padded, blocks, detail::Engine::Best);
}

Hash32 sha256_pair_chain(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                         std::uint64_t other_on_left) noexcept {
  return detail::sha256_pair_chain(prefix, start, others, other_on_left, detail::Engine::Best);
}

}  // namespace halyx::digest
