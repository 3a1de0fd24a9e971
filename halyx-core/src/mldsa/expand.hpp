// expand.hpp: the hashing prepare() does before its arithmetic, all in one batch of sponges, the
// longest first: tr = H(pk) (15 permutations over the key), the challenge c = SampleInBall(c~),
// then the 30 entries of A = ExpandA(rho). Tests and benchmarks call expand() itself, so the A and
// the c they check are the ones verification computes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include <halyx/mldsa/keccak/sponges.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {

using Matrix = std::array<std::array<Poly, L>, K>;

// What expand() computes.
struct Expansion {
  std::array<std::uint8_t, TR_BYTES> tr;
  Poly c;    // SampleInBall(c~): 49 coefficients +-1, the rest 0
  Matrix a;  // ExpandA(rho): entries in [0, q), already in the NTT domain
};

// The sponges and their consumers while expand() runs, about 8 KiB, held by its caller (prepare()
// keeps them in its workspace, on the stack or the heap). Their contents before a call are ignored.
struct ExpansionSponges {
  // A sponge's consumer for one entry of A: rejection sampling until 256 coefficients are kept.
  struct UniformEntry {
    Poly* out;
    std::size_t filled;
    const Kernels* kernels;
  };
  // The challenge's consumer: the 64 sign bits, then where each of the last TAU coefficients goes.
  struct Challenge {
    Poly* c;
    std::uint64_t signs;
    std::size_t i;
    bool started;
  };

  std::array<std::array<std::uint8_t, SEED_BYTES + 2>, K * L> seeds;  // rho, the column, the row
  std::array<UniformEntry, K * L> entries;
  Challenge challenge;
  std::array<Sponge, K * L + 2> sponges;
};

// Sets out to tr, c and A for this key and challenge seed, using `work` and the kernels' Keccak
// and rejection sampling.
void expand(Expansion& out, ExpansionSponges& work, std::span<const std::uint8_t, PUBLIC_KEY_BYTES> public_key,
            std::span<const std::uint8_t, C_TILDE_BYTES> c_tilde, const Kernels& kernels) noexcept;

}  // namespace halyx::mldsa
