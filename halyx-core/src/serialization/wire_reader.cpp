#include "serialization/wire_reader.hpp"

#include <cstddef>

namespace halyx::wire {
namespace {

constexpr std::uint8_t MAJOR_UINT = 0;
constexpr std::uint8_t MAJOR_BSTR = 2;
constexpr std::uint8_t MAJOR_ARRAY = 4;

// Additional information 24..27 announce an argument of 1, 2, 4 or 8 bytes after the initial byte.
constexpr std::uint8_t AI_ONE_BYTE = 24;
constexpr std::uint8_t AI_EIGHT_BYTES = 27;

}  // namespace

std::expected<ByteView, WireDecodeError> WireReader::read_bytes(std::uint64_t n, std::string_view what) {
  // Compare with what is left instead of computing pos_ + n: n comes from the input, can be
  // 2^64 - 1, and the sum would wrap and pass.
  if (n > remaining()) return std::unexpected(UnexpectedEnd{pos_, what});
  // n <= remaining() <= input_.size(), so both fit in size_t.
  ByteView out = input_.subspan(static_cast<std::size_t>(pos_), static_cast<std::size_t>(n));
  pos_ += n;
  return out;
}

std::expected<std::uint64_t, WireDecodeError> WireReader::read_head(std::uint8_t expected_major,
                                                                    std::string_view what) {
  const std::uint64_t h = pos_;
  auto initial = read_bytes(1, what);
  if (!initial) return std::unexpected(initial.error());
  const std::uint8_t b = (*initial)[0];
  const auto major = static_cast<std::uint8_t>(b >> 5);
  // The major type is checked before the argument bits, so an indefinite map where an array belongs
  // is reported as the wrong type, and a tag is refused rather than skipped.
  if (major != expected_major) return std::unexpected(MajorTypeMismatch{major, expected_major, h, what});
  const auto ai = static_cast<std::uint8_t>(b & 0x1F);
  if (ai < AI_ONE_BYTE) return ai;
  if (ai > AI_EIGHT_BYTES) return std::unexpected(InvalidArgumentInfo{ai, h, what});

  // 24 -> 1 byte, 25 -> 2, 26 -> 4, 27 -> 8, big-endian.
  const std::uint64_t width = std::uint64_t{1} << (ai - AI_ONE_BYTE);
  auto arg = read_bytes(width, what);
  if (!arg) return std::unexpected(arg.error());
  std::uint64_t value = 0;
  for (std::uint8_t byte : *arg) value = (value << 8) | byte;
  return value;
}

std::expected<std::uint64_t, WireDecodeError> WireReader::read_uint(std::string_view what) {
  return read_head(MAJOR_UINT, what);
}

std::expected<std::uint64_t, WireDecodeError> WireReader::read_array_len(std::string_view what) {
  return read_head(MAJOR_ARRAY, what);
}

std::expected<void, WireDecodeError> WireReader::read_array_n(std::uint64_t n, std::string_view what) {
  const std::uint64_t h = pos_;
  auto count = read_head(MAJOR_ARRAY, what);
  if (!count) return std::unexpected(count.error());
  if (*count != n) return std::unexpected(ArrayLengthMismatch{n, *count, h, what});
  return {};
}

std::expected<ByteView, WireDecodeError> WireReader::read_bstr(std::string_view what) {
  auto len = read_head(MAJOR_BSTR, what);
  if (!len) return std::unexpected(len.error());
  return read_bytes(*len, what);
}

std::expected<ByteView, WireDecodeError> WireReader::read_bstr_n(std::uint64_t n, std::string_view what) {
  const std::uint64_t h = pos_;
  auto len = read_head(MAJOR_BSTR, what);
  if (!len) return std::unexpected(len.error());
  if (*len != n) return std::unexpected(BstrLengthMismatch{n, *len, h, what});
  return read_bytes(n, what);
}

}  // namespace halyx::wire
