// value.hpp: CborValue, an immutable shared CBOR data item, and CborMap, its canonical map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halyx::dcbor {

using ByteView = std::span<const std::uint8_t>;  // borrowed: valid while the caller's input is
using ByteString = std::vector<std::uint8_t>;    // owned

class CborMap;

// A handle to an immutable CBOR data item. Copying a handle shares the item and bumps a
// reference count; the item goes when its last handle does. The count is not atomic: a
// value and all its copies stay on one thread.
//
// A moved-from handle holds nothing; it may only be assigned to or destroyed.
class CborValue {
 public:
  enum class Kind : std::uint8_t { UnsignedInt, NegativeInt, Bytes, Text, Array, Map, Tagged, Simple };
  enum class Simple : std::uint8_t { False, True, Null, Float };

  // The number n.
  [[nodiscard]] static CborValue unsigned_int(std::uint64_t n);
  // The number -1 - n, so n = 0 is -1 and n = 2^64 - 1 is -2^64.
  [[nodiscard]] static CborValue negative_int(std::uint64_t n);
  [[nodiscard]] static CborValue bytes(ByteString b);
  // A text held exactly as given; the encoder writes it in NFC.
  [[nodiscard]] static CborValue text(std::string s);
  // An Array of Text, in list order.
  [[nodiscard]] static CborValue text_list(std::vector<std::string> items);
  [[nodiscard]] static CborValue array(std::vector<CborValue> items);
  [[nodiscard]] static CborValue map(CborMap m);
  [[nodiscard]] static CborValue tagged(std::uint64_t tag, CborValue item);
  [[nodiscard]] static CborValue boolean(bool b);
  [[nodiscard]] static CborValue null();
  // The number v. An integral v that the canonical encoding writes as an integer becomes an
  // UnsignedInt or NegativeInt, so a Float never holds what numeric reduction would change.
  [[nodiscard]] static CborValue number(double v);

  CborValue(const CborValue& other) noexcept;
  CborValue(CborValue&& other) noexcept;
  CborValue& operator=(const CborValue& other) noexcept;
  CborValue& operator=(CborValue&& other) noexcept;
  ~CborValue();

  [[nodiscard]] Kind kind() const noexcept;

  // Each accessor returns the content when the value is of that kind, and nothing otherwise.
  // Pointers stay valid while any handle to this value lives.
  [[nodiscard]] std::optional<std::uint64_t> as_unsigned() const noexcept;  // UnsignedInt n
  [[nodiscard]] std::optional<std::uint64_t> as_negative() const noexcept;  // NegativeInt n (-1 - n)
  [[nodiscard]] const ByteString* as_bytes() const noexcept;
  [[nodiscard]] const std::string* as_text() const noexcept;
  [[nodiscard]] const std::vector<CborValue>* as_array() const noexcept;
  [[nodiscard]] const CborMap* as_map() const noexcept;
  [[nodiscard]] std::optional<std::uint64_t> tag() const noexcept;
  [[nodiscard]] const CborValue* tagged_item() const noexcept;
  [[nodiscard]] std::optional<Simple> simple() const noexcept;
  [[nodiscard]] std::optional<double> as_float() const noexcept;

  // Returns how many handles share this value (for tests and diagnostics).
  [[nodiscard]] std::size_t use_count() const noexcept;

 private:
  struct Node;
  explicit CborValue(Node* node) noexcept : node_(node) {}
  template <class T>
  static CborValue make(Kind kind, T&& content);
  static CborValue make_simple(Simple s, double f);
  static void release(Node* node) noexcept;

  Node* node_;
};

// A map ordered by the canonical encodings of its keys: bytewise, the first differing byte
// deciding and a proper prefix sorting first. That is the order the encoder writes, so a
// map never needs sorting on the way out.
class CborMap {
 public:
  struct Entry {
    ByteString key_encoding;  // canonical encoding of key
    CborValue key;
    CborValue value;
  };

  CborMap() = default;

  // Inserts value under key, replacing an entry whose key has the same canonical encoding.
  void insert(CborValue key, CborValue value);
  // Inserts value under the Text key `key`.
  void insert(std::string_view key, CborValue value);

  // Returns the value whose key encodes like `key`, or null. A text probe matches only a
  // Text key (never Bytes with the same content); texts match by their NFC form.
  [[nodiscard]] const CborValue* find(const CborValue& key) const;
  [[nodiscard]] const CborValue* find(std::string_view text_key) const;

  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  [[nodiscard]] std::span<const Entry> entries() const noexcept { return entries_; }
  [[nodiscard]] auto begin() const noexcept { return entries_.begin(); }
  [[nodiscard]] auto end() const noexcept { return entries_.end(); }

 private:
  friend class CborValue;  // dismantles deep trees without recursion
  friend class MapBuilder;  // the decoder's way in: see append_in_order
  // Appends an entry whose key encoding sorts after every held one. Only the decoder calls it, for
  // keys the reader has already found in strictly ascending order.
  void append_in_order(ByteString key_encoding, CborValue key, CborValue value);
  [[nodiscard]] const CborValue* find_encoded(ByteView head, ByteView body) const;

  std::vector<Entry> entries_;
};

}  // namespace halyx::dcbor
