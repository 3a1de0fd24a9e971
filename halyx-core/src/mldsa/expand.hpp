// expand.hpp: the hashing prepare() does before its arithmetic, all in one batch of sponges, the
// longest first: tr = H(pk) (15 permutations over the key), the challenge c = SampleInBall(c~),
// then the 30 entries of A = ExpandA(rho); and, when prepare() is given a message, its mu, which
// starts once tr is out. Tests and benchmarks call expand() itself, so the A and the c they check are
// the ones verification computes.
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
// keeps them in its workspace, on the heap). Their contents before a call are ignored.
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

  // tr's consumer: where tr goes, and where the message's hash needs it too.
  struct TrOut {
    std::uint8_t* tr;
    std::uint8_t* message_head;  // null without a message
  };
  std::array<std::array<std::uint8_t, SEED_BYTES + 2>, K * L> seeds;  // rho, the column, the row
  std::array<UniformEntry, K * L> entries;
  Challenge challenge;
  TrOut tr_out;
  // With a message: tr, 0, the context's length and the context, which mu = H(tr || M') absorbs
  // before the message itself.
  std::array<std::uint8_t, TR_BYTES + 2 + MAX_CONTEXT_BYTES> message_head;
  std::array<Sponge, K * L + 3> sponges;  // tr, the challenge, A, and mu when there is a message
};

// A message whose mu = H(tr || 0 || len(ctx) || ctx || M) expand() computes as well, in a sponge that
// starts as soon as tr is out, in lanes A leaves free. The context has at most MAX_CONTEXT_BYTES.
struct MessageToHash {
  std::span<const std::uint8_t> message;
  std::span<const std::uint8_t> context;
  std::array<std::uint8_t, MU_BYTES>* mu;  // where mu goes
};

// Sets out to tr, c and A for this key and challenge seed, using `work` and the kernels' Keccak
// and rejection sampling.
void expand(Expansion& out, ExpansionSponges& work, std::span<const std::uint8_t, PUBLIC_KEY_BYTES> public_key,
            std::span<const std::uint8_t, C_TILDE_BYTES> c_tilde, const Kernels& kernels,
            const MessageToHash* message = nullptr) noexcept;

}  // namespace halyx::mldsa
