#include <halyx/serialization/wire_decode_error.hpp>

#include <halyx/bytes.hpp>

namespace halyx::wire {
namespace {

// The 8-bit fields are widened on purpose: appending a uint8_t to a string would add a character.
std::string num(std::uint64_t v) { return std::to_string(v); }

std::string while_reading(std::string s, std::string_view what) {
  s += " (while reading ";
  s += what;
  s += ')';
  return s;
}

}  // namespace

std::string message(const WireDecodeError& e) {
  return std::visit(
      Overloaded{
          [](const UnexpectedEnd& x) {
            std::string s = "unexpected end of input at offset " + num(x.offset) + " while reading ";
            s += x.what;
            return s;
          },
          [](const MajorTypeMismatch& x) {
            return while_reading("expected CBOR major type " + num(x.expected) + " at offset " + num(x.offset) +
                                     ", got " + num(x.got),
                                 x.what);
          },
          [](const InvalidArgumentInfo& x) {
            return while_reading("invalid CBOR argument info " + num(x.info) + " at offset " + num(x.offset),
                                 x.what);
          },
          [](const VersionMismatch& x) {
            return "expected tstr WIRE_VERSION at offset " + num(x.offset) + ", got " + num(x.len) +
                   "-byte tstr";
          },
          [](const ArrayLengthMismatch& x) {
            return while_reading("expected array length " + num(x.expected) + " at offset " + num(x.offset) +
                                     ", got " + num(x.got),
                                 x.what);
          },
          [](const BstrLengthMismatch& x) {
            return while_reading("expected bstr length " + num(x.expected) + " at offset " + num(x.offset) +
                                     ", got " + num(x.got),
                                 x.what);
          },
          [](const TrailingGarbage& x) {
            return "trailing garbage: " + num(x.remaining) + " bytes remain after decode";
          },
          [](const ExtensionTypeTooLarge& x) {
            return "extension_type " + num(x.value) + " exceeds u16::MAX at offset " + num(x.offset);
          },
      },
      e);
}

}  // namespace halyx::wire
