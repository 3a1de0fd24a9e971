#include "manifest.hpp"

#include <array>
#include <cstring>
#include <optional>

#include <halyx/dcbor/hex.hpp>
#include <halyx/dcbor/utf8.hpp>

namespace halyx::cli {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A cursor over one line. Every read checks what is left first.
class Scanner {
 public:
  explicit Scanner(std::string_view text) noexcept : text_(text) {}

  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }
  [[nodiscard]] bool at_end() const noexcept { return pos_ == text_.size(); }
  [[nodiscard]] char peek() const noexcept { return at_end() ? '\0' : text_[pos_]; }
  bool take(char c) {
    if (at_end() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // Reads a string whose opening quote is next. Its escapes are only skipped here: whether they
  // are well formed is checked when the string is unescaped, if it ever is (hex never is).
  std::expected<JsonText, std::string> string() {
    if (!take('"')) return std::unexpected("expected a string");
    const std::size_t start = pos_;
    // Most strings (hex digits, plain paths) hold no escape: find the closing quote at once.
    const void* quote = std::memchr(text_.data() + pos_, '"', text_.size() - pos_);
    if (quote == nullptr) return std::unexpected("a string is not closed");
    std::size_t end = static_cast<std::size_t>(static_cast<const char*>(quote) - text_.data());
    const bool escaped = std::memchr(text_.data() + start, '\\', end - start) != nullptr;
    if (escaped) {
      // A quote after a backslash does not close the string: walk the escapes one by one.
      std::size_t i = start;
      while (i < text_.size() && text_[i] != '"') i += text_[i] == '\\' ? 2 : 1;
      if (i >= text_.size()) return std::unexpected("a string is not closed");
      end = i;
    }
    pos_ = end + 1;
    return JsonText{text_.substr(start, end - start), escaped};
  }

  // Reads a number in JSON's grammar and returns its text; nothing when it is not one.
  std::optional<std::string_view> number() {
    const std::size_t start = pos_;
    take('-');
    if (take('0')) {
    } else if (is_digit(peek())) {
      while (is_digit(peek())) ++pos_;
    } else {
      return std::nullopt;
    }
    if (take('.')) {
      if (!is_digit(peek())) return std::nullopt;
      while (is_digit(peek())) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (!take('+')) take('-');
      if (!is_digit(peek())) return std::nullopt;
      while (is_digit(peek())) ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::expected<void, std::string> set_source(ArgumentSource& source, JsonText text, bool is_hex, std::string_view key,
                                            std::string_view argument) {
  if (source.given) {
    std::string why = "\"";
    why += key;
    why += "\" given twice, or with \"";
    why += argument;
    why += is_hex ? "\"" : "_hex\"";
    return std::unexpected(std::move(why));
  }
  source = ArgumentSource{text, is_hex, true};
  return {};
}

// Reads the four hex digits of a \u escape at text[at]; -1 when they are not four hex digits.
std::int32_t u_escape(std::string_view text, std::size_t at) {
  if (text.size() - at < 4) return -1;
  std::int32_t v = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int d = dcbor::hex_digit_value(text[at + k]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

}  // namespace

std::expected<ManifestEntry, std::string> parse_manifest_line(std::string_view line) {
  Scanner s(line);
  ManifestEntry entry;
  bool have_id = false;
  s.skip_space();
  if (!s.take('{')) return std::unexpected("expected a JSON object");
  s.skip_space();
  if (!s.take('}')) {
    for (;;) {
      s.skip_space();
      auto key = s.string();
      if (!key) return std::unexpected(std::move(key.error()));
      s.skip_space();
      if (!s.take(':')) return std::unexpected("expected ':' after a key");
      s.skip_space();
      const std::string_view k = key->raw;
      if (k == "id") {
        if (have_id) return std::unexpected("\"id\" given twice");
        have_id = true;
        if (s.peek() == '"') {
          auto text = s.string();
          if (!text) return std::unexpected(std::move(text.error()));
          // The quotes belong to the echoed text.
          entry.id = std::string_view(text->raw.data() - 1, text->raw.size() + 2);
          entry.id_is_string = true;
        } else {
          auto number = s.number();
          if (!number) return std::unexpected("\"id\" must be a string or a number");
          entry.id = *number;
        }
      } else if (k == "leaf" || k == "leaf_hex" || k == "proof" || k == "proof_hex") {
        auto value = s.string();
        if (!value) {
          std::string why = "\"";
          why += k;
          why += "\" must be a string";
          return std::unexpected(std::move(why));
        }
        const bool is_hex = k.ends_with("_hex");
        const bool is_leaf = k.starts_with("leaf");
        auto ok = set_source(is_leaf ? entry.leaf : entry.proof, *value, is_hex, k, is_leaf ? "leaf" : "proof");
        if (!ok) return std::unexpected(std::move(ok.error()));
      } else {
        std::string why = "unknown key ";
        why += '"';
        why.append(k.substr(0, 64));
        why += "\" (expected id, leaf or leaf_hex, proof or proof_hex)";
        return std::unexpected(std::move(why));
      }
      s.skip_space();
      if (s.take('}')) break;
      if (!s.take(',')) return std::unexpected("expected ',' or '}' after a value");
    }
  }
  s.skip_space();
  if (!s.at_end()) return std::unexpected("text after the object");
  if (!entry.leaf.given) return std::unexpected("no \"leaf\" or \"leaf_hex\"");
  if (!entry.proof.given) return std::unexpected("no \"proof\" or \"proof_hex\"");
  return entry;
}

std::expected<void, std::string> unescape(const JsonText& text, std::string& out) {
  out.clear();
  const std::string_view raw = text.raw;
  for (std::size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    if (static_cast<unsigned char>(c) < 0x20) return std::unexpected("a string holds a control character");
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 == raw.size()) return std::unexpected("a string ends in a backslash");
    const char e = raw[i + 1];
    i += 2;
    switch (e) {
      case '"':
      case '\\':
      case '/':
        out += e;
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        std::int32_t cp = u_escape(raw, i);
        if (cp < 0) return std::unexpected("a \\u escape needs four hex digits");
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF && raw.substr(i, 2) == "\\u") {
          const std::int32_t low = u_escape(raw, i + 2);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a surrogate left alone stands for nothing
        dcbor::append_utf8(out, static_cast<char32_t>(cp));
        break;
      }
      default:
        return std::unexpected("a string holds an unknown escape");
    }
  }
  return {};
}

std::expected<void, std::string> decode_hex(std::string_view text, ByteString& out) {
  auto decoded = dcbor::decode_hex(text, out);
  if (decoded) return {};
  switch (decoded.error()) {
    case dcbor::HexError::OddLength:
      return std::unexpected("an odd number of hex digits");
    case dcbor::HexError::NotHexDigit:
      return std::unexpected("a character that is not a hex digit");
  }
  return std::unexpected("a character that is not a hex digit");  // unreachable: -Wswitch guards new kinds
}

}  // namespace halyx::cli
