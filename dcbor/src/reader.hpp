// reader.hpp: the strict deterministic-CBOR reader. Every check the decoder makes lives here; the
// value-tree decoder and the in-place readers are built on it, so they accept and refuse alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include <halyx/dcbor/cbor_error.hpp>
#include <halyx/dcbor/value.hpp>

namespace halyx::dcbor {

// One step of a checked walk through the input, in input order.
struct Token {
  enum class Kind : std::uint8_t {
    UnsignedInt,  // argument is the number (also a float that reduced to it)
    NegativeInt,  // argument is n of -1 - n (also a float that reduced to it)
    Bytes,        // content is the string's bytes
    Text,         // content is well-formed UTF-8 in NFC
    Array,        // argument is the element count; the elements follow, then End
    Map,          // argument is the entry count; key, value, key, value ... follow, then End
    Tag,          // argument is the tag number; one item follows, then End
    False,
    True,
    Null,
    Float,   // number holds a value no integer form can carry
    End,     // the innermost open array, map or tag is complete
  };
  Kind kind = Kind::End;
  std::uint64_t argument = 0;
  ByteView content{};
  double number = 0.0;
  std::size_t start = 0;  // offset of the head (for End: of the container's head)
};

// Walks one data item through `input`, checking as it goes: shortest heads, definite lengths,
// false/true/null and canonical floats only, UTF-8 in NFC, map keys strictly ascending by their
// canonical encodings, and at most MAX_NESTING_DEPTH nested containers. The first fault in input
// order is reported; within a map entry, the key and then the value are read completely before the
// key's place is judged.
//
// Memory stays constant whatever the input: one small record per open container, map keys kept as
// positions in the input, and comparisons run over the input in place.
//
//   Reader r(input);
//   while (!r.done()) { auto t = r.next(); if (!t) return t.error(); ... }
//   if (r.position() != input.size()) ...  // trailing bytes are the caller's to judge
class Reader {
 public:
  explicit Reader(ByteView input) : input_(input) { frames_.reserve(INITIAL_FRAMES); }

  // Returns the next token, or the first fault. Must not be called once done().
  [[nodiscard]] std::expected<Token, CborError> next();

  // Whether the top-level item is complete.
  [[nodiscard]] bool done() const noexcept { return done_; }

  // Returns the offset of the next unread byte.
  [[nodiscard]] std::size_t position() const noexcept { return pos_; }

  // Returns how many floats so far were read as integers: an item read while it did not change is
  // encoded canonically in the input exactly as it stands.
  [[nodiscard]] std::uint64_t reductions() const noexcept { return reductions_; }

 private:
  static constexpr std::size_t INITIAL_FRAMES = 16;

  // An item's place in the input, and whether a float inside it was read as an integer (its
  // canonical encoding then differs from those bytes).
  struct Span {
    std::size_t start = 0, end = 0;
    bool reduced = false;
  };
  struct Frame {
    Token::Kind kind;
    std::uint64_t remaining;    // items (arrays, tags) or entries (maps) still to come
    std::size_t start;          // the container's head
    std::uint64_t reductions_at_start;
    bool expecting_value;       // maps: the current entry's key has been read
    bool has_previous_key;
    Span previous_key, key;
  };

  std::expected<Token, CborError> read_item();
  std::expected<void, CborError> settle(std::size_t start, std::uint64_t reductions_before);
  std::expected<void, CborError> check_key_order(const Frame& map) const;

  ByteView input_;
  std::size_t pos_ = 0;
  std::uint64_t reductions_ = 0;
  bool done_ = false;
  std::vector<Frame> frames_;
};

// The head of an item: its first byte, its argument and its length.
struct Head {
  std::uint8_t initial;
  std::uint64_t argument;
  std::size_t length;
};

class AcceptedCbor;
struct AcceptedPrefix;

// One item of input that validate_dcbor accepted, read in place: nothing is checked again and
// nothing is copied. Items come only from AcceptedCbor::root() and from the children of other
// items, so every read lands on an item the reader has checked and stays inside the input.
class CborItem {
 public:
  // Walks the items an item holds, in input order: an array's elements, a map's keys and values
  // in turn, a tag's item; nothing for any other item.
  class Children {
   public:
    class iterator {
     public:
      using iterator_category = std::input_iterator_tag;
      using value_type = CborItem;
      using difference_type = std::ptrdiff_t;

      CborItem operator*() const noexcept { return CborItem(input_, pos_); }
      iterator& operator++() noexcept;
      bool operator==(const iterator& o) const noexcept { return left_ == o.left_; }

     private:
      friend class Children;
      iterator(ByteView input, std::size_t pos, std::uint64_t left) noexcept : input_(input), pos_(pos), left_(left) {}
      ByteView input_;
      std::size_t pos_;
      std::uint64_t left_;  // items not yet passed, this one included
    };
    [[nodiscard]] iterator begin() const noexcept { return {input_, first_, count_}; }
    [[nodiscard]] iterator end() const noexcept { return {input_, first_, 0}; }

   private:
    friend class CborItem;
    Children(ByteView input, std::size_t first, std::uint64_t count) noexcept
        : input_(input), first_(first), count_(count) {}
    ByteView input_;
    std::size_t first_;
    std::uint64_t count_;
  };

  // Returns the item's head.
  [[nodiscard]] Head head() const noexcept;
  // Returns the item's major type (0-7).
  [[nodiscard]] std::uint8_t major() const noexcept;
  // Returns the item's bytes, from its head to its end.
  [[nodiscard]] ByteView encoding() const noexcept;
  // Returns what the item holds after its head: a string's content, a container's items.
  [[nodiscard]] ByteView body() const noexcept;
  [[nodiscard]] Children children() const noexcept;

  // Returns the item as a map lookup reads an integer: an unsigned integer n as n, a negative
  // integer -1 - n as the complement of n, and a float that was read as an integer likewise;
  // nothing for any other item.
  [[nodiscard]] std::optional<std::uint64_t> integer() const noexcept;

  // Returns the content of a text (well-formed UTF-8 in NFC), or nothing for another item.
  [[nodiscard]] std::optional<std::string_view> text() const noexcept;

 private:
  friend class AcceptedCbor;
  CborItem(ByteView input, std::size_t pos) noexcept : input_(input), pos_(pos) {}

  ByteView input_;
  std::size_t pos_;
};

// Input that validate_dcbor accepted: exactly one data item in deterministic form. Only
// validate_dcbor makes one.
class AcceptedCbor {
 public:
  [[nodiscard]] CborItem root() const noexcept { return CborItem(input_, 0); }

 private:
  friend std::expected<AcceptedCbor, CborError> validate_dcbor(ByteView input);
  friend std::expected<AcceptedPrefix, CborError> validate_dcbor_prefix(ByteView input);
  explicit AcceptedCbor(ByteView input) noexcept : input_(input) {}
  ByteView input_;
};

// Returns `input` as accepted input when it is exactly one data item in deterministic form, or the
// first fault, exactly as decode_dcbor would report it. Allocates nothing that grows with the input.
[[nodiscard]] std::expected<AcceptedCbor, CborError> validate_dcbor(ByteView input);

// The first data item of a sequence of them (RFC 8742), accepted, and the number of bytes it spans.
struct AcceptedPrefix {
  AcceptedCbor item;
  std::size_t length;
};

// Returns the first data item of `input` when it is in deterministic form, and where it ends; the
// bytes after it are not looked at. The end is found by the same checked walk that accepts the item,
// so a sequence is split exactly where each item's validation ends. Errors: the first fault, as
// validate_dcbor reports it for the item alone (an empty `input` is Truncated).
[[nodiscard]] std::expected<AcceptedPrefix, CborError> validate_dcbor_prefix(ByteView input);

// Returns the canonical encoding of an item of input that Reader accepted.
[[nodiscard]] ByteString canonical_encoding(ByteView input, std::size_t start, std::size_t end, bool reduced);

}  // namespace halyx::dcbor
