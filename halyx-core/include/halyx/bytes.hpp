// bytes.hpp: the byte types every layer of the core speaks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace halyx {

using ByteView = std::span<const std::uint8_t>;  // borrowed: valid while the caller's input is
using ByteString = std::vector<std::uint8_t>;    // owned
using Hash32 = std::array<std::uint8_t, 32>;     // fixed width: "wrong length" cannot arise later

// The length of every hash, log id and path element on the wire.
inline constexpr std::size_t HASH_LENGTH = std::tuple_size_v<Hash32>;

// Returns the view of a string's bytes, for constants written as text.
inline ByteView as_bytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Visitor built from lambdas, for std::visit over the error variants.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace halyx
