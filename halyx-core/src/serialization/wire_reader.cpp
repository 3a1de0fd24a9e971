#include <halyx/serialization/wire_reader.hpp>

#include <cstddef>

#include <halyx/dcbor/cbor_head.hpp>

// The head arithmetic is dcbor's; this reader differs from dcbor's in what it accepts (any head
// length, since the re-encoding settles shortest form) and in how it reports a fault (an offset and
// the field being read), so only the reading itself is its own.
namespace halyx::wire {

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
  const std::uint8_t major = dcbor::major_of(b);
  // The major type is checked before the argument bits, so an indefinite map where an array belongs
  // is reported as the wrong type, and a tag is refused rather than skipped.
  if (major != expected_major) return std::unexpected(MajorTypeMismatch{major, expected_major, h, what});
  const std::uint8_t ai = dcbor::info_of(b);
  if (ai < dcbor::AI_ONE_BYTE) return ai;
  if (ai > dcbor::AI_EIGHT_BYTES) return std::unexpected(InvalidArgumentInfo{ai, h, what});
  auto arg = read_bytes(dcbor::argument_width(ai), what);
  if (!arg) return std::unexpected(arg.error());
  return dcbor::read_big_endian(arg->data(), arg->size());
}

std::expected<std::uint64_t, WireDecodeError> WireReader::read_uint(std::string_view what) {
  return read_head(dcbor::MAJOR_UNSIGNED, what);
}

std::expected<std::uint64_t, WireDecodeError> WireReader::read_array_len(std::string_view what) {
  return read_head(dcbor::MAJOR_ARRAY, what);
}

std::expected<void, WireDecodeError> WireReader::read_array_n(std::uint64_t n, std::string_view what) {
  const std::uint64_t h = pos_;
  auto count = read_head(dcbor::MAJOR_ARRAY, what);
  if (!count) return std::unexpected(count.error());
  if (*count != n) return std::unexpected(ArrayLengthMismatch{n, *count, h, what});
  return {};
}

std::expected<ByteView, WireDecodeError> WireReader::read_bstr(std::string_view what) {
  auto len = read_head(dcbor::MAJOR_BYTES, what);
  if (!len) return std::unexpected(len.error());
  return read_bytes(*len, what);
}

std::expected<ByteView, WireDecodeError> WireReader::read_bstr_n(std::uint64_t n, std::string_view what) {
  const std::uint64_t h = pos_;
  auto len = read_head(dcbor::MAJOR_BYTES, what);
  if (!len) return std::unexpected(len.error());
  if (*len != n) return std::unexpected(BstrLengthMismatch{n, *len, h, what});
  return read_bytes(n, what);
}

}  // namespace halyx::wire
