#include <halyx/serialization/text_list.hpp>

#include <algorithm>
#include <array>

#include <halyx/dcbor/cbor_head.hpp>
#include <halyx/dcbor/encode.hpp>

namespace halyx::leaf {

namespace {

// The length of the text head at `pos` and the length of its text. The list's items are text heads
// it wrote itself, or copied from a canonical array the reader accepted, each followed by its text.
struct TextHead {
  std::size_t head_length, text_length;
};
TextHead text_head_at(const ByteString& items, std::size_t pos) noexcept {
  const std::size_t width = dcbor::argument_width(dcbor::info_of(items[pos]));
  const std::uint64_t length = width == 0 ? dcbor::info_of(items[pos]) : dcbor::read_big_endian(&items[pos + 1], width);
  return {1 + width, static_cast<std::size_t>(length)};
}

}  // namespace

std::string_view TextList::const_iterator::operator*() const noexcept {
  const TextHead h = text_head_at(*items_, pos_);
  return {reinterpret_cast<const char*>(items_->data() + pos_ + h.head_length), h.text_length};
}

TextList::const_iterator& TextList::const_iterator::operator++() noexcept {
  const TextHead h = text_head_at(*items_, pos_);
  pos_ += h.head_length + h.text_length;
  return *this;
}

TextList::TextList(std::initializer_list<std::string_view> texts) {
  for (std::string_view t : texts) push_back(t);
}

TextList TextList::from_canonical_items(ByteView items, std::size_t count) {
  TextList list;
  list.items_.assign(items.begin(), items.end());
  list.count_ = count;
  return list;
}

void TextList::push_back(std::string_view text) {
  std::array<std::uint8_t, dcbor::MAX_HEAD_LENGTH> head{};
  const std::size_t n = dcbor::encode_head(dcbor::MAJOR_TEXT, text.size(), head);
  items_.insert(items_.end(), head.begin(), head.begin() + static_cast<std::ptrdiff_t>(n));
  items_.insert(items_.end(), text.begin(), text.end());
  ++count_;
  canonical_ = canonical_ && dcbor::is_canonical_text(text);
}

}  // namespace halyx::leaf
