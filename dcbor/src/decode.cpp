// decode.cpp: the value-tree decoder. Reader makes every check; this file only assembles values, with
// an explicit stack instead of recursion.
#include <halyx/dcbor/decode.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <halyx/dcbor/reader.hpp>

namespace halyx::dcbor {

// The decoder's access to CborMap's unchecked append.
class MapBuilder {
 public:
  static void append(CborMap& map, ByteString key_encoding, CborValue key, CborValue value) {
    map.append_in_order(std::move(key_encoding), std::move(key), std::move(value));
  }
};

namespace {

// A container being filled.
struct Open {
  Token::Kind kind;
  std::uint64_t tag = 0;
  std::vector<CborValue> items;  // arrays; a tag's one item
  CborMap map;
  // Maps: the entry whose key has been read, and where that key started.
  std::optional<CborValue> key;
  ByteString key_encoding;
  std::size_t key_start = 0;
  std::uint64_t key_reductions = 0;
};

CborValue scalar(const Token& t) {
  switch (t.kind) {
    case Token::Kind::UnsignedInt:
      return CborValue::unsigned_int(t.argument);
    case Token::Kind::NegativeInt:
      return CborValue::negative_int(t.argument);
    case Token::Kind::Bytes:
      return CborValue::bytes(ByteString(t.content.begin(), t.content.end()));
    case Token::Kind::Text:
      return CborValue::text(std::string(reinterpret_cast<const char*>(t.content.data()), t.content.size()));
    case Token::Kind::False:
      return CborValue::boolean(false);
    case Token::Kind::True:
      return CborValue::boolean(true);
    case Token::Kind::Null:
      return CborValue::null();
    case Token::Kind::Float:
    case Token::Kind::Array:
    case Token::Kind::Map:
    case Token::Kind::Tag:
    case Token::Kind::End:
      break;
  }
  return CborValue::number(t.number);  // only Float reaches here
}

CborValue close(Open& o) {
  switch (o.kind) {
    case Token::Kind::Array:
      return CborValue::array(std::move(o.items));
    case Token::Kind::Map:
      return CborValue::map(std::move(o.map));
    default:
      return CborValue::tagged(o.tag, std::move(o.items.front()));
  }
}

}  // namespace

std::expected<CborValue, CborError> decode_dcbor(ByteView input) {
  Reader reader(input);
  std::vector<Open> open;
  std::optional<CborValue> result;

  // Hands a complete item to the container around it, or makes it the result.
  const auto place = [&](CborValue v) {
    if (open.empty()) {
      result = std::move(v);
      return;
    }
    Open& o = open.back();
    if (o.kind != Token::Kind::Map) {
      o.items.push_back(std::move(v));
    } else if (!o.key) {
      // The reader judged the key's order against its canonical encoding; the map is keyed by the
      // same bytes, which are the input's own unless a float inside was read as an integer.
      o.key_encoding = canonical_encoding(input, o.key_start, reader.position(), reader.reductions() != o.key_reductions);
      o.key = std::move(v);
    } else {
      // The reader has refused misplaced and repeated keys already.
      MapBuilder::append(o.map, std::move(o.key_encoding), std::move(*o.key), std::move(v));
      o.key.reset();
      o.key_encoding = {};
    }
  };

  while (!reader.done()) {
    const std::uint64_t reductions_before = reader.reductions();
    auto t = reader.next();
    if (!t) return std::unexpected(t.error());
    if (t->kind != Token::Kind::End && !open.empty() && open.back().kind == Token::Kind::Map && !open.back().key) {
      open.back().key_start = t->start;  // this token begins the next key
      open.back().key_reductions = reductions_before;
    }
    switch (t->kind) {
      case Token::Kind::Array:
      case Token::Kind::Map:
      case Token::Kind::Tag:
        open.push_back(Open{t->kind, t->argument, {}, {}, std::nullopt, {}, 0, 0});
        break;
      case Token::Kind::End: {
        CborValue v = close(open.back());
        open.pop_back();
        place(std::move(v));
        break;
      }
      default:
        place(scalar(*t));
        break;
    }
  }
  if (reader.position() != input.size()) return std::unexpected(CborError::trailing_bytes(input.size() - reader.position()));
  return std::move(*result);
}

}  // namespace halyx::dcbor
