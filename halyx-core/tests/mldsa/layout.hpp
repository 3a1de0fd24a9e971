// layout.hpp: reads and writes the parts of ML-DSA-65 signatures for the tests, bit by bit. Written
// apart from the verifier's own decoders, so that a fault in those cannot hide on both sides of a
// comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa::test {

inline constexpr std::size_t Z_OFFSET = C_TILDE_BYTES;
inline constexpr std::size_t HINT_OFFSET = Z_OFFSET + L * Z_POLY_BYTES;
// Byte OMEGA + i of the hint section holds the running count of hint positions after row i.
inline constexpr std::size_t HINT_COUNTS_OFFSET = HINT_OFFSET + OMEGA;
inline constexpr std::int32_t Z_BOUND = GAMMA1 - BETA;  // every |z| must stay below it

// Bits [bit, bit + width) of `bytes`, least significant first.
inline std::uint32_t read_bits(const std::uint8_t* bytes, std::size_t bit, unsigned width) {
  std::uint32_t v = 0;
  for (unsigned k = 0; k < width; ++k, ++bit) v |= static_cast<std::uint32_t>(bytes[bit / 8] >> (bit % 8) & 1u) << k;
  return v;
}
inline void write_bits(std::uint8_t* bytes, std::size_t bit, unsigned width, std::uint32_t v) {
  for (unsigned k = 0; k < width; ++k, ++bit) {
    const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    bytes[bit / 8] = static_cast<std::uint8_t>((v >> k & 1u) != 0 ? bytes[bit / 8] | mask : bytes[bit / 8] & ~mask);
  }
}

// Coefficient i of z's polynomial s. The 20 stored bits hold gamma1 - z, so z lies in (-gamma1, gamma1].
inline std::int32_t get_z(const ByteString& sig, std::size_t s, std::size_t i) {
  return GAMMA1 - static_cast<std::int32_t>(read_bits(sig.data() + Z_OFFSET + s * Z_POLY_BYTES, i * 20, 20));
}
inline void set_z(ByteString& sig, std::size_t s, std::size_t i, std::int32_t z) {
  write_bits(sig.data() + Z_OFFSET + s * Z_POLY_BYTES, i * 20, 20, static_cast<std::uint32_t>(GAMMA1 - z));
}

// The hint as rows of positions, one vector per row.
using HintRows = std::vector<std::vector<std::uint8_t>>;

// Writes `rows` (at most OMEGA positions in all) as the hint section: the positions row after row,
// zeros after them, then the running counts.
inline void set_hint(ByteString& sig, const HintRows& rows) {
  std::uint8_t* h = sig.data() + HINT_OFFSET;
  std::size_t used = 0;
  for (std::size_t r = 0; r < K; ++r) {
    for (const std::uint8_t p : rows[r]) h[used++] = p;
    h[OMEGA + r] = static_cast<std::uint8_t>(used);
  }
  for (std::size_t i = used; i < OMEGA; ++i) h[i] = 0;
}

// Reads a well-formed hint section back into rows.
inline HintRows get_hint(const ByteString& sig) {
  const std::uint8_t* h = sig.data() + HINT_OFFSET;
  HintRows rows(K);
  std::size_t start = 0;
  for (std::size_t r = 0; r < K; ++r) {
    for (std::size_t i = start; i < h[OMEGA + r] && i < OMEGA; ++i) rows[r].push_back(h[i]);
    start = h[OMEGA + r];
  }
  return rows;
}

}  // namespace halyx::mldsa::test
