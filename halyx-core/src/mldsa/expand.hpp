// expand.hpp: the hashing prepare() does, all in one batch of sponges, the longest first:
// tr = H(pk) (15 permutations over the key), the challenge c = SampleInBall(c~), then the 30
// entries of A = ExpandA(rho); and, when prepare() is given a message, its mu, which starts once tr
// is out, and, when the caller asks, the recomputed challenge c~' = H(mu || w1Encode(w'1)), which
// absorbs w'1 row by row as the caller writes it, told by expand() as each row's entries of A and
// c are sampled. Tests and benchmarks call expand() itself, so the A and the c they check are the
// ones verification computes.
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

// Told, once for each row r of A and in whatever order the rows finish, that its L entries and c
// are sampled: row r of w' can be computed.
struct RowsReady {
  void (*ready)(void* context, std::size_t row) noexcept = nullptr;
  void* context = nullptr;
};

// The sponges and their consumers while expand() runs, about 8 KiB, held by its caller (prepare()
// keeps them in its workspace, on the stack or the heap). Their contents before a call are ignored.
struct ExpansionSponges {
  // What each row of A still waits for: its entries, and c, which every row needs.
  struct RowTracker {
    RowsReady listener;
    std::array<std::uint8_t, K> missing;

    void one_done(std::size_t row) noexcept {
      if (--missing[row] == 0 && listener.ready != nullptr) listener.ready(listener.context, row);
    }
  };
  // A sponge's consumer for one entry of A: rejection sampling until 256 coefficients are kept.
  struct UniformEntry {
    Poly* out;
    std::size_t filled;
    const Kernels* kernels;
    RowTracker* rows;
    std::size_t row;
  };
  // The challenge's consumer: the 64 sign bits, then where each of the last TAU coefficients goes.
  struct Challenge {
    Poly* c;
    std::uint64_t signs;
    std::size_t i;
    bool started;
    RowTracker* rows;
  };
  // The recomputed challenge's consumer: where c~' goes, and the flag it sets.
  struct ChallengeHashOut {
    std::uint8_t* c_tilde;
    bool* written;
  };

  // tr's consumer: where tr goes, and where the message's hash needs it too.
  struct TrOut {
    std::uint8_t* tr;
    std::uint8_t* message_head;  // null without a message
  };
  std::array<std::array<std::uint8_t, SEED_BYTES + 2>, K * L> seeds;  // rho, the column, the row
  std::array<UniformEntry, K * L> entries;
  RowTracker rows;
  Challenge challenge;
  TrOut tr_out;
  ChallengeHashOut challenge_hash_out;
  // With a message: tr, 0, the context's length and the context, which mu = H(tr || M') absorbs
  // before the message itself.
  std::array<std::uint8_t, TR_BYTES + 2 + MAX_CONTEXT_BYTES> message_head;
  // tr, the challenge, A; with a message, mu and the recomputed challenge
  std::array<Sponge, K * L + 4> sponges;
};

// A message whose mu = H(tr || 0 || len(ctx) || ctx || M) expand() computes as well, in a sponge that
// starts as soon as tr is out, in lanes A leaves free; then c~' = H(mu || w1), whose sponge takes
// each block of w1 once the caller has written it. The context has at most MAX_CONTEXT_BYTES.
struct MessageToHash {
  std::span<const std::uint8_t> message;
  std::span<const std::uint8_t> context;
  std::array<std::uint8_t, MU_BYTES>* mu;  // where mu goes
  std::span<const std::uint8_t, W1_ENCODED_BYTES> w1;
  const std::size_t* w1_written;  // how many bytes of w1, from its start, are final
  std::array<std::uint8_t, C_TILDE_BYTES>* c_tilde;  // where c~' goes; null for mu alone
  bool* c_tilde_written;  // set once it has
};

// Sets out to tr, c and A for this key and challenge seed, using `work` and the kernels' Keccak
// and rejection sampling, and tells `rows` as each row of A is ready. A c~' that never gets all
// of w1 is not written.
void expand(Expansion& out, ExpansionSponges& work, std::span<const std::uint8_t, PUBLIC_KEY_BYTES> public_key,
            std::span<const std::uint8_t, C_TILDE_BYTES> c_tilde, const Kernels& kernels,
            const MessageToHash* message = nullptr, RowsReady rows = {}) noexcept;

}  // namespace halyx::mldsa
