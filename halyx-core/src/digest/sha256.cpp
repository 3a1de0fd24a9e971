#include <halyx/digest/sha256.hpp>

#include <algorithm>
#include <cstring>

#include <halyx/digest/sha256_compress.hpp>

namespace halyx::digest {

bool Sha256::hardware_available() noexcept {
  static const bool available = detail::cpu_has_sha_ni();
  return available;
}

Sha256::Sha256(bool hardware) noexcept
    : hardware_(hardware && hardware_available()), state_(detail::SHA256_INITIAL_STATE) {}

void Sha256::compress(const std::uint8_t* blocks, std::size_t count) noexcept {
  if (hardware_) {
    detail::compress_sha_ni(state_, blocks, count);
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
  Hash32 out{};
  for (std::size_t i = 0; i < state_.size(); ++i) {
    for (std::size_t j = 0; j < 4; ++j) out[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
  }
  return out;
}

Hash32 sha256(std::initializer_list<ByteView> parts) noexcept {
  Sha256 h;
  for (ByteView part : parts) h.update(part);
  return h.finish();
}

Hash32 sha256(ByteView data) noexcept { return sha256({data}); }

}  // namespace halyx::digest
