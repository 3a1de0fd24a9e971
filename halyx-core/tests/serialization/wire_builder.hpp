// wire_builder.hpp (tests only): an independent writer of wire-v1 bytes. It can write any head in a
// longer form than needed, and it records which read covers each byte, so that a test can tell for
// every truncation where the decoder must report the end of input and under which label.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <halyx/bytes.hpp>

namespace halyx::wire::testing {

// How a head carries its argument: in the initial byte when it fits, or in 1, 2, 4 or 8 more bytes.
enum class HeadForm { Shortest, Arg1, Arg2, Arg4, Arg8 };

// Bytes [begin, end) are taken by one read under label `what`; cutting the input anywhere inside
// them must fail that read at `begin`.
struct Segment {
  std::uint64_t begin;
  std::uint64_t end;
  std::string_view what;
};

class WireBuilder {
 public:
  // Returns how many argument bytes `form` uses for `value`; Shortest picks the least that fits.
  static int arg_bytes(std::uint64_t value, HeadForm form) {
    switch (form) {
      case HeadForm::Shortest:
        if (value < 24) return 0;
        for (int n : {1, 2, 4}) {
          if (value >> (8 * n) == 0) return n;
        }
        return 8;
      case HeadForm::Arg1: return 1;
      case HeadForm::Arg2: return 2;
      case HeadForm::Arg4: return 4;
      case HeadForm::Arg8: return 8;
    }
    return 8;
  }

  // Writes a head; a form too narrow for the value is widened to the shortest that fits.
  void head(std::uint8_t major, std::uint64_t value, std::string_view what, HeadForm form = HeadForm::Shortest) {
    const int shortest = arg_bytes(value, HeadForm::Shortest);
    int n = arg_bytes(value, form);
    if (n < shortest) n = shortest;
    if (n != shortest) widened = true;
    const std::uint64_t h = bytes.size();
    const std::uint8_t ai = n == 0 ? static_cast<std::uint8_t>(value)
                                   : static_cast<std::uint8_t>(n == 1 ? 24 : n == 2 ? 25 : n == 4 ? 26 : 27);
    bytes.push_back(static_cast<std::uint8_t>((major << 5) | ai));
    for (int i = n - 1; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    segments.push_back({h, h + 1, what});
    if (n > 0) segments.push_back({h + 1, bytes.size(), what});
  }

  // Writes raw content read in one piece (a string's bytes after its head).
  void content(ByteView data, std::string_view what) {
    const std::uint64_t begin = bytes.size();
    bytes.insert(bytes.end(), data.begin(), data.end());
    if (!data.empty()) segments.push_back({begin, bytes.size(), what});
  }

  // Returns the segment holding byte `offset`; the caller keeps offset below bytes.size().
  [[nodiscard]] const Segment& segment_at(std::uint64_t offset) const {
    for (const Segment& s : segments) {
      if (s.begin <= offset && offset < s.end) return s;
    }
    return segments.back();
  }

  ByteString bytes;
  std::vector<Segment> segments;
  bool widened = false;  // some head is longer than it had to be
};

}  // namespace halyx::wire::testing
