// cbor_error.cpp: the display texts of CborError.
#include <halyx/dcbor/cbor_error.hpp>

namespace halyx::dcbor {
namespace {

std::string utf8_fault_text(const Utf8Fault& f) {
  if (f.error_length == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(f.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(f.error_length) + " bytes from index " +
         std::to_string(f.valid_up_to);
}

}  // namespace

std::string message(const CborError& e) {
  switch (e.kind) {
    case CborErrorKind::Truncated:
      return "early end of CBOR data";
    case CborErrorKind::ReservedHeader:
      return "unsupported value in CBOR header";
    case CborErrorKind::NonShortestNumber:
      return "a CBOR numeric value was encoded in non-canonical form";
    case CborErrorKind::BadSimpleValue:
      return "an invalid CBOR simple value was encountered";
    case CborErrorKind::BadUtf8:
      // The dash is U+2011 NON-BREAKING HYPHEN (e2 80 91), not an ASCII hyphen: callers match this
      // text byte for byte.
      return "invalid UTF\u2011" "8 string: " + utf8_fault_text(e.utf8);
    case CborErrorKind::NotNfc:
      return "a CBOR string was not encoded in Unicode Canonical Normalization Form C";
    case CborErrorKind::TrailingBytes:
      return "the decoded CBOR had " + std::to_string(e.extra_bytes) + " extra bytes at the end";
    case CborErrorKind::KeyOrder:
      return "the decoded CBOR map has keys that are not in canonical order";
    case CborErrorKind::DuplicateKey:
      return "the decoded CBOR map has a duplicate key";
    case CborErrorKind::NestingTooDeep:
      return "the decoded CBOR nests arrays, maps and tags more than " +
             std::to_string(MAX_NESTING_DEPTH) + " levels deep";
  }
  return {};  // unreachable: every kind returns above, and -Wswitch flags a new one
}

}  // namespace halyx::dcbor
