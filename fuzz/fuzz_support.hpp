// fuzz_support.hpp (fuzz targets only): how a target reports a broken property, and the
// independent writers and checks the wire targets share.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/serialization/wire_decode_error.hpp>

namespace halyx::fuzz {

// Stops the run when `holds` is false. A trap rather than an exception or a return code: libFuzzer
// treats it as a crash and keeps the input, and no code under test can catch it.
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", property);
  std::fflush(stderr);
  __builtin_trap();
}

// Returns the next argument of a framed input and moves `input` past it: a two-byte little-endian
// length, then that many bytes, either cut short when the input ends first.
inline ByteString take_framed(ByteView& input) {
  std::size_t length = 0;
  if (input.size() >= 2) {
    length = input[0] | static_cast<std::size_t>(input[1]) << 8;
    input = input.subspan(2);
  } else {
    input = {};
  }
  length = std::min(length, input.size());
  ByteString out(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(length));
  input = input.subspan(length);
  return out;
}

// Appends the shortest head of major type `major` carrying `value`. Written here again, apart from
// the codecs, so a fault in their head writers cannot hide in both sides of a comparison.
inline void put_head(ByteString& out, std::uint8_t major, std::uint64_t value) {
  const auto initial = static_cast<std::uint8_t>(major << 5);
  if (value < 24) {
    out.push_back(static_cast<std::uint8_t>(initial | value));
    return;
  }
  int width = 8;
  std::uint8_t info = 27;
  if (value <= 0xFF) {
    width = 1;
    info = 24;
  } else if (value <= 0xFFFF) {
    width = 2;
    info = 25;
  } else if (value <= 0xFFFFFFFF) {
    width = 4;
    info = 26;
  }
  out.push_back(static_cast<std::uint8_t>(initial | info));
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void put_bytes(ByteString& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

inline bool is_known_label(std::string_view what) {
  namespace l = wire::label;
  static constexpr std::array<std::string_view, 16> LABELS = {
      l::ENVELOPE_OUTER_ARRAY, l::ENVELOPE_VERSION_TSTR, l::ENVELOPE_BODY_BSTR, l::BODY_ARRAY,
      l::LOG_ID,               l::TREE_SIZE,             l::TIMESTAMP,          l::ROOT_HASH,
      l::EXTENSIONS_ARRAY,     l::EXTENSION_PAIR,        l::EXTENSION_TYPE,     l::EXTENSION_DATA,
      l::INCLUSION_PROOF_ARRAY, l::LEAF_INDEX,           l::INCLUSION_PATH_ARRAY, l::INCLUSION_PATH_HASH};
  return std::find(LABELS.begin(), LABELS.end(), what) != LABELS.end();
}

// Checks what any wire decode error must satisfy for an input of `size` bytes: offsets inside the
// input (the end itself only for UnexpectedEnd, which names the first missing byte), a fixed label,
// a payload that really is a mismatch, and a message that renders.
inline void check_wire_error(const wire::WireDecodeError& e, std::uint64_t size) {
  std::visit(Overloaded{
                 [&](const wire::UnexpectedEnd& x) {
                   require(x.offset <= size, "UnexpectedEnd offset past the input");
                   require(is_known_label(x.what), "UnexpectedEnd with an unknown label");
                 },
                 [&](const wire::MajorTypeMismatch& x) {
                   require(x.offset < size, "MajorTypeMismatch offset outside the input");
                   require(x.got <= 7 && x.got != x.expected, "MajorTypeMismatch that is no mismatch");
                   require(is_known_label(x.what), "MajorTypeMismatch with an unknown label");
                 },
                 [&](const wire::InvalidArgumentInfo& x) {
                   require(x.offset < size, "InvalidArgumentInfo offset outside the input");
                   require(x.info >= 28 && x.info <= 31, "InvalidArgumentInfo for a valid info");
                   require(is_known_label(x.what), "InvalidArgumentInfo with an unknown label");
                 },
                 [&](const wire::VersionMismatch& x) {
                   require(x.offset < size, "VersionMismatch offset outside the input");
                 },
                 [&](const wire::ArrayLengthMismatch& x) {
                   require(x.offset < size, "ArrayLengthMismatch offset outside the input");
                   require(x.expected != x.got, "ArrayLengthMismatch that is no mismatch");
                   require(is_known_label(x.what), "ArrayLengthMismatch with an unknown label");
                 },
                 [&](const wire::BstrLengthMismatch& x) {
                   require(x.offset < size, "BstrLengthMismatch offset outside the input");
                   require(x.expected != x.got, "BstrLengthMismatch that is no mismatch");
                   require(is_known_label(x.what), "BstrLengthMismatch with an unknown label");
                 },
                 [&](const wire::TrailingGarbage& x) {
                   require(x.remaining > 0 && x.remaining < size, "TrailingGarbage count out of range");
                 },
                 [&](const wire::ExtensionTypeTooLarge& x) {
                   require(x.offset < size, "ExtensionTypeTooLarge offset outside the input");
                   require(x.value > 0xFFFF, "ExtensionTypeTooLarge for a type that fits");
                 },
             },
             e);
  require(!message(e).empty(), "empty wire error message");
}

}  // namespace halyx::fuzz
