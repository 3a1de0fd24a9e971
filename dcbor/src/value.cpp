// value.cpp: the shared node behind CborValue, and CborMap's ordered storage.
#include <halyx/dcbor/value.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <variant>

#include <halyx/dcbor/encode.hpp>
#include <halyx/dcbor/nfc.hpp>
#include <halyx/dcbor/numeric.hpp>

namespace halyx::dcbor {
namespace {

struct TaggedContent {
  std::uint64_t tag;
  CborValue item;
};
struct SimpleContent {
  CborValue::Simple simple;
  double number;  // Float only
};

// Compares `a` with the concatenation of `head` and `body`, bytewise, a proper prefix first.
int compare_with_concat(ByteView a, ByteView head, ByteView body) noexcept {
  const std::size_t n1 = std::min(a.size(), head.size());
  if (n1 != 0) {
    if (const int c = std::memcmp(a.data(), head.data(), n1); c != 0) return c;
  }
  if (a.size() < head.size()) return -1;
  const ByteView rest = a.subspan(head.size());
  const std::size_t n2 = std::min(rest.size(), body.size());
  if (n2 != 0) {
    if (const int c = std::memcmp(rest.data(), body.data(), n2); c != 0) return c;
  }
  if (rest.size() == body.size()) return 0;
  return rest.size() < body.size() ? -1 : 1;
}

ByteView bytes_of(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

struct CborValue::Node {
  std::size_t refs;
  Node* next_doomed;  // links nodes awaiting deletion, so freeing a deep tree needs no recursion
  Kind kind;
  std::variant<std::uint64_t, ByteString, std::string, std::vector<CborValue>, CborMap, TaggedContent,
               SimpleContent>
      content;
};

template <class T>
CborValue CborValue::make(Kind kind, T&& content) {
  return CborValue(new Node{1, nullptr, kind, std::forward<T>(content)});
}

CborValue CborValue::unsigned_int(std::uint64_t n) { return make(Kind::UnsignedInt, n); }
CborValue CborValue::negative_int(std::uint64_t n) { return make(Kind::NegativeInt, n); }
CborValue CborValue::bytes(ByteString b) { return make(Kind::Bytes, std::move(b)); }
CborValue CborValue::text(std::string s) { return make(Kind::Text, std::move(s)); }
CborValue CborValue::array(std::vector<CborValue> items) { return make(Kind::Array, std::move(items)); }
CborValue CborValue::map(CborMap m) { return make(Kind::Map, std::move(m)); }
CborValue CborValue::tagged(std::uint64_t tag, CborValue item) {
  return make(Kind::Tagged, TaggedContent{tag, std::move(item)});
}
CborValue CborValue::make_simple(Simple s, double f) { return make(Kind::Simple, SimpleContent{s, f}); }
CborValue CborValue::boolean(bool b) { return make_simple(b ? Simple::True : Simple::False, 0.0); }
CborValue CborValue::null() { return make_simple(Simple::Null, 0.0); }

CborValue CborValue::text_list(std::vector<std::string> items) {
  std::vector<CborValue> values;
  values.reserve(items.size());  // the caller's own list, not a count read from input
  for (std::string& s : items) values.push_back(text(std::move(s)));
  return array(std::move(values));
}

CborValue CborValue::number(double v) {
  const NumberForm form = canonical_number_form(v);
  switch (form.kind) {
    case NumberForm::Kind::UnsignedInt:
      return unsigned_int(form.bits);
    case NumberForm::Kind::NegativeInt:
      return negative_int(form.bits);
    case NumberForm::Kind::Half:
    case NumberForm::Kind::Single:
    case NumberForm::Kind::Double:
      break;
  }
  return make_simple(Simple::Float, v);
}

CborValue::CborValue(const CborValue& other) noexcept : node_(other.node_) {
  if (node_ != nullptr) ++node_->refs;
}
CborValue::CborValue(CborValue&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
CborValue& CborValue::operator=(const CborValue& other) noexcept {
  if (this == &other) return *this;
  Node* old = node_;
  node_ = other.node_;
  if (node_ != nullptr) ++node_->refs;
  release(old);
  return *this;
}
CborValue& CborValue::operator=(CborValue&& other) noexcept {
  if (this != &other) release(std::exchange(node_, std::exchange(other.node_, nullptr)));
  return *this;
}
CborValue::~CborValue() { release(node_); }

void CborValue::release(Node* node) noexcept {
  if (node == nullptr || --node->refs != 0) return;
  // Children whose count drops to zero join a list instead of being freed from inside
  // their parent's destructor: a tree of any depth is freed in this one loop.
  node->next_doomed = nullptr;
  Node* doomed = node;
  while (doomed != nullptr) {
    Node* d = doomed;
    doomed = d->next_doomed;
    const auto detach = [&doomed](CborValue& child) noexcept {
      Node* c = std::exchange(child.node_, nullptr);
      if (c != nullptr && --c->refs == 0) {
        c->next_doomed = doomed;
        doomed = c;
      }
    };
    if (auto* items = std::get_if<std::vector<CborValue>>(&d->content)) {
      for (CborValue& item : *items) detach(item);
    } else if (auto* map = std::get_if<CborMap>(&d->content)) {
      for (CborMap::Entry& e : map->entries_) {
        detach(e.key);
        detach(e.value);
      }
    } else if (auto* tagged = std::get_if<TaggedContent>(&d->content)) {
      detach(tagged->item);
    }
    delete d;
  }
}

CborValue::Kind CborValue::kind() const noexcept { return node_->kind; }

std::optional<std::uint64_t> CborValue::as_unsigned() const noexcept {
  if (node_->kind != Kind::UnsignedInt) return std::nullopt;
  return std::get<std::uint64_t>(node_->content);
}
std::optional<std::uint64_t> CborValue::as_negative() const noexcept {
  if (node_->kind != Kind::NegativeInt) return std::nullopt;
  return std::get<std::uint64_t>(node_->content);
}
const ByteString* CborValue::as_bytes() const noexcept { return std::get_if<ByteString>(&node_->content); }
const std::string* CborValue::as_text() const noexcept { return std::get_if<std::string>(&node_->content); }
const std::vector<CborValue>* CborValue::as_array() const noexcept {
  return std::get_if<std::vector<CborValue>>(&node_->content);
}
const CborMap* CborValue::as_map() const noexcept { return std::get_if<CborMap>(&node_->content); }
std::optional<std::uint64_t> CborValue::tag() const noexcept {
  if (const auto* t = std::get_if<TaggedContent>(&node_->content)) return t->tag;
  return std::nullopt;
}
const CborValue* CborValue::tagged_item() const noexcept {
  if (const auto* t = std::get_if<TaggedContent>(&node_->content)) return &t->item;
  return nullptr;
}
std::optional<CborValue::Simple> CborValue::simple() const noexcept {
  if (const auto* s = std::get_if<SimpleContent>(&node_->content)) return s->simple;
  return std::nullopt;
}
std::optional<double> CborValue::as_float() const noexcept {
  const auto* s = std::get_if<SimpleContent>(&node_->content);
  if (s == nullptr || s->simple != Simple::Float) return std::nullopt;
  return s->number;
}

std::size_t CborValue::use_count() const noexcept { return node_ == nullptr ? 0 : node_->refs; }

void CborMap::insert(CborValue key, CborValue value) {
  ByteString encoding = encode_dcbor(key);
  auto it = std::lower_bound(entries_.begin(), entries_.end(), encoding,
                             [](const Entry& e, const ByteString& k) { return e.key_encoding < k; });
  if (it != entries_.end() && it->key_encoding == encoding) {
    it->key = std::move(key);
    it->value = std::move(value);
    return;
  }
  entries_.insert(it, Entry{std::move(encoding), std::move(key), std::move(value)});
}

void CborMap::insert(std::string_view key, CborValue value) {
  insert(CborValue::text(std::string(key)), std::move(value));
}

const CborValue* CborMap::find_encoded(ByteView head, ByteView body) const {
  std::size_t lo = 0, hi = entries_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int c = compare_with_concat(entries_[mid].key_encoding, head, body);
    if (c == 0) return &entries_[mid].value;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return nullptr;
}

const CborValue* CborMap::find(const CborValue& key) const {
  const ByteString encoding = encode_dcbor(key);
  return find_encoded(encoding, {});
}

const CborValue* CborMap::find(std::string_view text_key) const {
  // Probes are usually short ASCII literals: build the encoding without allocating.
  std::string normalised;
  std::string_view body = text_key;
  if (!is_canonical_text(text_key)) {
    normalised = to_nfc(text_key);
    body = normalised;
  }
  std::array<std::uint8_t, MAX_HEAD_LENGTH> head{};
  const std::size_t head_length = encode_head(MAJOR_TEXT, body.size(), head);
  return find_encoded(ByteView(head.data(), head_length), bytes_of(body));
}

void CborMap::append_in_order(ByteString key_encoding, CborValue key, CborValue value) {
  entries_.push_back(Entry{std::move(key_encoding), std::move(key), std::move(value)});
}

}  // namespace halyx::dcbor
