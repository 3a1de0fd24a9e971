// text_list.hpp: an ordered list of texts held in one buffer, each text as a CBOR text head and its
// bytes. A list read from a leaf costs no more memory than its own encoding (a vector of strings would
// cost 32 bytes a text, however short the text), and a canonical list is written back in one copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <halyx/bytes.hpp>

namespace halyx::leaf {

class TextList {
 public:
  // Walks the texts in order, as views into the list.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const noexcept;
    const_iterator& operator++() noexcept;
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& o) const noexcept { return pos_ == o.pos_; }

   private:
    friend class TextList;
    const_iterator(const ByteString* items, std::size_t pos) noexcept : items_(items), pos_(pos) {}
    const ByteString* items_ = nullptr;
    std::size_t pos_ = 0;
  };
  using iterator = const_iterator;
  using value_type = std::string_view;

  TextList() = default;
  TextList(std::initializer_list<std::string_view> texts);

  // Returns the list whose items are `items`: `count` text items with shortest heads whose texts are
  // in NFC, as a validated canonical array holds them. The bytes are copied once, unexamined.
  [[nodiscard]] static TextList from_canonical_items(ByteView items, std::size_t count);

  void push_back(std::string_view text);

  [[nodiscard]] std::size_t size() const noexcept { return count_; }
  [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
  [[nodiscard]] const_iterator begin() const noexcept { return {&items_, 0}; }
  [[nodiscard]] const_iterator end() const noexcept { return {&items_, items_.size()}; }

  // The items as they are held: each text's shortest head and its bytes, in order.
  [[nodiscard]] ByteView items() const noexcept { return items_; }
  // Whether every text is known to be in NFC already, so items() is the canonical encoding of the
  // list's elements as it stands.
  [[nodiscard]] bool canonical() const noexcept { return canonical_; }

  // Lists are equal when they hold the same texts in the same order.
  friend bool operator==(const TextList& a, const TextList& b) noexcept {
    return a.count_ == b.count_ && a.items_ == b.items_;
  }

 private:
  ByteString items_;
  std::size_t count_ = 0;
  bool canonical_ = true;
};

}  // namespace halyx::leaf
