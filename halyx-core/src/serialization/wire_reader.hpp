// wire_reader.hpp: a forward-only cursor over wire-v1 CBOR that names the field behind every failure.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include <halyx/bytes.hpp>
#include <halyx/serialization/wire_decode_error.hpp>

namespace halyx::wire {

// Reads unsigned integers, byte strings, text-string heads and array heads, nothing else. The input
// is borrowed: returned views point into it. Each read takes the label of the field it reads, which
// any error carries; after an error the position is meaningless and the reader must be dropped.
//
// Heads are accepted in any length (0x18 0x05 reads as 5): whether an input was shortest-form is
// settled by re-encoding, not here.
class WireReader {
 public:
  explicit WireReader(ByteView input) noexcept : input_(input) {}

  // Returns the argument of the next head, which must have major type `expected_major`.
  // Errors: UnexpectedEnd, MajorTypeMismatch (checked before the argument bits), InvalidArgumentInfo.
  [[nodiscard]] std::expected<std::uint64_t, WireDecodeError> read_head(std::uint8_t expected_major,
                                                                        std::string_view what);

  // Returns the next `n` raw bytes, for any `n` up to 2^64 - 1. Errors: UnexpectedEnd at the current
  // position when fewer than `n` bytes are left.
  [[nodiscard]] std::expected<ByteView, WireDecodeError> read_bytes(std::uint64_t n, std::string_view what);

  // Returns the value of an unsigned integer (major type 0).
  [[nodiscard]] std::expected<std::uint64_t, WireDecodeError> read_uint(std::string_view what);

  // Returns the element count of an array head (major type 4), unlimited: callers must not size
  // anything from it before the input has shown it can back the elements.
  [[nodiscard]] std::expected<std::uint64_t, WireDecodeError> read_array_len(std::string_view what);

  // Reads an array head whose count must be exactly `n`. Errors: those of read_head, and
  // ArrayLengthMismatch at the head.
  [[nodiscard]] std::expected<void, WireDecodeError> read_array_n(std::uint64_t n, std::string_view what);

  // Returns the content of a byte string (major type 2) of any length.
  [[nodiscard]] std::expected<ByteView, WireDecodeError> read_bstr(std::string_view what);

  // Returns the content of a byte string whose length must be exactly `n`; the view then has exactly
  // `n` bytes. Errors: those of read_head, BstrLengthMismatch at the head (before any content is
  // looked at), UnexpectedEnd just after the head for truncated content.
  [[nodiscard]] std::expected<ByteView, WireDecodeError> read_bstr_n(std::uint64_t n, std::string_view what);

  // Returns the offset of the next unread byte.
  [[nodiscard]] std::uint64_t position() const noexcept { return pos_; }

  // Returns how many bytes are left unread.
  [[nodiscard]] std::uint64_t remaining() const noexcept { return input_.size() - pos_; }

 private:
  ByteView input_;
  std::uint64_t pos_ = 0;  // only grows, never past input_.size()
};

}  // namespace halyx::wire
