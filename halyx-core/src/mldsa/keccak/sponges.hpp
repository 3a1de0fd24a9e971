// sponges.hpp: runs a batch of SHAKE computations through a multi-state Keccak permutation,
// keeping every lane busy.
//
// Verification needs 32 sponges that do not depend on each other: the 30 entries of A (SHAKE128,
// 5 permutations each), tr (SHAKE256 over the 1952-byte key, 15 permutations) and the challenge
// (SHAKE256 over c~, one); and a 33rd that waits on tr: the first message's mu = H(tr || M'), two
// permutations for an STH, which fit in the lanes the others leave free in their last batches. Each sponge keeps its own state, and every batch permutes whichever
// sponges are next, so a sponge may move from lane to lane at no cost. That matters for the
// schedule: a sponge tied to one lane leaves the lanes unevenly loaded (25 batches of 8 for those
// 166 permutations, as five-permutation entries do not divide the 21 that suffice), while taking
// turns finishes them all together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {

// Takes one squeezed block of `rate` bytes (readable 32 bytes further); returns true when satisfied.
using SpongeConsumer = bool (*)(void* context, const std::uint8_t* block, std::size_t rate) noexcept;

// One SHAKE computation: absorbs `input` whole, then `tail`, then hands each squeezed block to
// `consume` until it returns true. When it is satisfied, `then` (if any) starts: a sponge whose
// input the consumer has just written.
struct Sponge {
  std::size_t rate;  // SHAKE128_RATE or SHAKE256_RATE
  std::span<const std::uint8_t> input;
  SpongeConsumer consume;
  void* context;
  std::span<const std::uint8_t> tail{};
  Sponge* then = nullptr;

  // run_sponges' own: whatever they hold before a run is ignored.
  alignas(64) KeccakState state;
  std::size_t absorbed;  // input bytes already in the state
  bool squeezing;        // the padding is in: the next permutation gives output
  Sponge* next;          // the next sponge waiting for a permutation

  // Sets what the sponge computes and leaves the rest alone: a sponge built whole, with its state
  // zeroed and copied, cost prepare() about 1 us.
  void set(std::size_t shake_rate, std::span<const std::uint8_t> bytes, SpongeConsumer consumer,
           void* consumer_context, std::span<const std::uint8_t> more = {}) noexcept {
    rate = shake_rate;
    input = bytes;
    consume = consumer;
    context = consumer_context;
    tail = more;
    then = nullptr;
  }
};

// Runs every sponge of `batch` to completion, and every sponge they start, `kernels.keccak_lanes` at a time. A sponge still
// absorbing keeps its place in the order given, so put the longest input first: it then gets a
// permutation in every batch. Sponges that squeeze take turns. Allocates nothing, and uses under
// 1 KiB of stack beyond the sponges themselves.
void run_sponges(std::span<Sponge> batch, const Kernels& kernels) noexcept;

}  // namespace halyx::mldsa
