// encode.cpp: canonical encoding, without recursion.
#include <halyx/dcbor/encode.hpp>

#include <string>
#include <vector>

#include <halyx/dcbor/nfc.hpp>
#include <halyx/dcbor/numeric.hpp>
#include <halyx/dcbor/utf8.hpp>

namespace halyx::dcbor {
namespace {

void append_big_endian(ByteString& out, std::uint64_t v, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void append_number(ByteString& out, double v) {
  const NumberForm form = canonical_number_form(v);
  switch (form.kind) {
    case NumberForm::Kind::UnsignedInt:
      append_head(out, 0, form.bits);
      return;
    case NumberForm::Kind::NegativeInt:
      append_head(out, 1, form.bits);
      return;
    case NumberForm::Kind::Half:
      out.push_back(0xf9);
      append_big_endian(out, form.bits, 2);
      return;
    case NumberForm::Kind::Single:
      out.push_back(0xfa);
      append_big_endian(out, form.bits, 4);
      return;
    case NumberForm::Kind::Double:
      out.push_back(0xfb);
      append_big_endian(out, form.bits, 8);
      return;
  }
}

void append_simple(ByteString& out, const CborValue& value) {
  switch (*value.simple()) {
    case CborValue::Simple::False:
      out.push_back(0xf4);
      return;
    case CborValue::Simple::True:
      out.push_back(0xf5);
      return;
    case CborValue::Simple::Null:
      out.push_back(0xf6);
      return;
    case CborValue::Simple::Float:
      append_number(out, *value.as_float());
      return;
  }
}

// One pending piece of output: a value to encode, or bytes already encoded (a map key).
struct Pending {
  const CborValue* value;
  ByteView raw;
};

}  // namespace

void append_head(ByteString& out, std::uint8_t major, std::uint64_t argument) {
  std::array<std::uint8_t, MAX_HEAD_LENGTH> head{};
  const std::size_t n = encode_head(major, argument, head);
  out.insert(out.end(), head.begin(), head.begin() + static_cast<std::ptrdiff_t>(n));
}

bool is_canonical_text(std::string_view text) {
  return is_ascii(text) || (!find_utf8_fault(text) && is_nfc(text));
}

void append_text(ByteString& out, std::string_view text) {
  std::string normalised;
  if (!is_canonical_text(text)) {
    normalised = to_nfc(text);
    text = normalised;
  }
  append_head(out, 3, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

void append_dcbor(ByteString& out, const CborValue& value) {
  // An explicit stack instead of recursion: values built in code have no depth bound.
  std::vector<Pending> stack{Pending{&value, {}}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    if (p.value == nullptr) {
      out.insert(out.end(), p.raw.begin(), p.raw.end());
      continue;
    }
    const CborValue& v = *p.value;
    switch (v.kind()) {
      case CborValue::Kind::UnsignedInt:
        append_head(out, 0, *v.as_unsigned());
        break;
      case CborValue::Kind::NegativeInt:
        append_head(out, 1, *v.as_negative());
        break;
      case CborValue::Kind::Bytes: {
        const ByteString& b = *v.as_bytes();
        append_head(out, 2, b.size());
        out.insert(out.end(), b.begin(), b.end());
        break;
      }
      case CborValue::Kind::Text:
        append_text(out, *v.as_text());
        break;
      case CborValue::Kind::Array: {
        const std::vector<CborValue>& items = *v.as_array();
        append_head(out, 4, items.size());
        for (auto it = items.rbegin(); it != items.rend(); ++it) stack.push_back(Pending{&*it, {}});
        break;
      }
      case CborValue::Kind::Map: {
        const CborMap& map = *v.as_map();
        append_head(out, 5, map.size());
        const auto entries = map.entries();
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
          stack.push_back(Pending{&it->value, {}});
          stack.push_back(Pending{nullptr, it->key_encoding});  // already canonical
        }
        break;
      }
      case CborValue::Kind::Tagged:
        append_head(out, 6, *v.tag());
        stack.push_back(Pending{v.tagged_item(), {}});
        break;
      case CborValue::Kind::Simple:
        append_simple(out, v);
        break;
    }
  }
}

ByteString encode_dcbor(const CborValue& value) {
  ByteString out;
  append_dcbor(out, value);
  return out;
}

}  // namespace halyx::dcbor
