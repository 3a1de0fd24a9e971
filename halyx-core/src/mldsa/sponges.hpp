// sponges.hpp: runs a batch of independent SHAKE computations through a multi-state Keccak
// permutation, keeping every lane busy.
//
// Verification needs 32 sponges that do not depend on each other: the 30 entries of A (SHAKE128),
// tr (SHAKE256 over the 1952-byte key, 15 permutations) and the challenge (SHAKE256 over c~). Each
// lane takes the next waiting sponge as soon as its last one is done, so the long one (tr) runs
// beside several short ones instead of after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "mldsa/poly.hpp"

namespace halyx::mldsa {

// One SHAKE computation: absorbs `input` whole, then hands each squeezed block to `consume` until
// it returns true.
struct Sponge {
  std::size_t rate;                  // SHAKE128_RATE or SHAKE256_RATE
  std::span<const std::uint8_t> input;
  // Takes one block of `rate` bytes (readable 32 bytes further); returns true when satisfied.
  bool (*consume)(void* context, const std::uint8_t* block, std::size_t rate) noexcept;
  void* context;
};

// Runs every sponge of `batch` to completion, `kernels.keccak_lanes` at a time, in the order given
// (put the longest first). Uses under 4 KiB of stack; allocates nothing.
void run_sponges(std::span<Sponge> batch, const Kernels& kernels) noexcept;

}  // namespace halyx::mldsa
