#include <halyx/mldsa/encoding.hpp>

namespace halyx::mldsa {

bool decode_hint(Hint& hint, const std::uint8_t* bytes) noexcept {
  std::size_t used = 0;
  for (std::size_t row = 0; row < K; ++row) {
    const std::size_t end = bytes[OMEGA + row];
    if (end < used || end > OMEGA) return false;
    for (std::size_t i = used; i < end; ++i) {
      if (i > used && bytes[i - 1] >= bytes[i]) return false;
      hint.positions[i] = bytes[i];
    }
    used = end;
    hint.row_end[row] = static_cast<std::uint8_t>(end);
  }
  for (std::size_t i = used; i < OMEGA; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace halyx::mldsa
