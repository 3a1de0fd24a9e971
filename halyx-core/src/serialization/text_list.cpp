#include "serialization/text_list.hpp"

#include <algorithm>
#include <array>

#include "cbor_head.hpp"
#include "encode.hpp"
#include "reader.hpp"

namespace halyx::leaf {

std::string_view TextList::const_iterator::operator*() const noexcept {
  const dcbor::Head h = dcbor::head_at(*items_, pos_);
  return {reinterpret_cast<const char*>(items_->data() + pos_ + h.length), static_cast<std::size_t>(h.argument)};
}

TextList::const_iterator& TextList::const_iterator::operator++() noexcept {
  const dcbor::Head h = dcbor::head_at(*items_, pos_);
  pos_ += h.length + static_cast<std::size_t>(h.argument);
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

std::vector<std::string> TextList::to_vector() const {
  std::vector<std::string> out;
  out.reserve(count_);
  for (std::string_view t : *this) out.emplace_back(t);
  return out;
}

bool operator==(const TextList& a, const std::vector<std::string>& b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace halyx::leaf
