// damage.hpp: the kinds of damage the differential tests do to a fresh signature, or to the
// message, context or key it is checked against, each aimed at one check of the verifier. Drawn
// from a caller's generator alone, so that two runs from the same seed (on x86-64 against OpenSSL,
// and replayed under emulation) damage alike.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "mldsa/layout.hpp"
#include <halyx/bytes.hpp>
#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa::test {

// What is done to a fresh signature, or to the message, context or key it is checked against.
enum class Change {
  ChallengeBit,      // one bit of c~
  ZBit,              // one bit of z's encoding
  HintBit,           // one bit anywhere in the hint section
  HintCountDown,     // a row's running count lowered by one
  HintCountUp,       // a row's running count raised by one
  HintCountPastOmega,  // a running count of 56..255, sometimes for every later row too
  HintSwapped,       // two positions of a row exchanged
  HintRepeated,      // a position written twice in a row, the hint otherwise the same
  HintPadding,       // a non-zero byte after the last used position
  ZJustWithin,       // one coefficient set to +-(gamma1 - beta - 1): still within bound
  ZAtBound,          // one coefficient set to +-(gamma1 - beta): the first out of bound
  ZAtItsEnds,        // one coefficient set to gamma1 or -(gamma1 - 1), the ends of the encoding
  WrongLength,       // cut anywhere (to nothing included), or one byte too long
  AllZero,           // 3309 zero bytes
  KeyBit,            // one bit of the key, in rho or in t1
  MessageBit,        // one bit of the message (a byte added to an empty one)
  ContextBit,        // one bit of the context (a byte added to an empty one)
  Context256,        // the context grown to 256 bytes: both sides must refuse it, and signing too
  Count
};
constexpr std::size_t CHANGES = static_cast<std::size_t>(Change::Count);
constexpr std::array<const char*, CHANGES> CHANGE_NAMES = {
    "challenge bit",   "z bit",           "hint bit",          "hint count down", "hint count up",
    "hint count > 55", "hint swapped",    "hint repeated",     "hint padding",    "z = +-(g1-b-1)",
    "z = +-(g1-b)",    "z = g1, 1-g1",    "wrong length",      "all zero",        "key bit",
    "message bit",     "context bit",     "context of 256"};

struct Case {
  ByteString key, message, context, signature;
};

// Applies damage with the random numbers of `rng`.
class Damage {
 public:
  explicit Damage(std::mt19937_64& rng) : rng_(rng) {}

  void fill(std::span<std::uint8_t> out) {
    for (auto& b : out) b = static_cast<std::uint8_t>(rng_());
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

  void flip_bit(ByteString& bytes, std::size_t from, std::size_t to) {
    const std::size_t bit = from * 8 + below((to - from) * 8);
    bytes[bit / 8] = static_cast<std::uint8_t>(bytes[bit / 8] ^ 1u << (bit % 8));
  }

  struct Row {
    std::size_t row, start, end;  // the row, and the range of its positions
  };
  // Picks a row that holds at least `least` hint positions, or none when no row does.
  std::optional<Row> row_with(const ByteString& sig, std::size_t least) {
    std::vector<Row> rows;
    std::size_t start = 0;
    for (std::size_t r = 0; r < K; ++r) {
      const std::size_t end = sig[HINT_COUNTS_OFFSET + r];
      if (end >= start + least) rows.push_back({r, start, end});
      start = end;
    }
    if (rows.empty()) return std::nullopt;
    return rows[below(rows.size())];
  }

  void set_one_z(ByteString& sig, std::int32_t magnitude, bool sign) {
    const std::size_t s = below(L), i = below(N);
    set_z(sig, s, i, sign ? -magnitude : magnitude);
  }

  // Applies `change` to c; returns false when it cannot apply to this signature (having drawn
  // the same numbers whatever the outcome for the same signature).
  bool apply(Change change, Case& c) {
    ByteString& sig = c.signature;
    std::uint8_t* counts = sig.data() + HINT_COUNTS_OFFSET;
    switch (change) {
      case Change::ChallengeBit:
        flip_bit(sig, 0, C_TILDE_BYTES);
        return true;
      case Change::ZBit:
        flip_bit(sig, Z_OFFSET, HINT_OFFSET);
        return true;
      case Change::HintBit:
        flip_bit(sig, HINT_OFFSET, SIGNATURE_BYTES);
        return true;
      case Change::HintCountDown: {
        std::vector<std::size_t> rows;
        for (std::size_t r = 0; r < K; ++r) {
          if (counts[r] > 0) rows.push_back(r);
        }
        if (rows.empty()) return false;
        --counts[rows[below(rows.size())]];
        return true;
      }
      case Change::HintCountUp:
        ++counts[below(K)];  // at most 55 before, so no wrap
        return true;
      case Change::HintCountPastOmega: {
        const std::size_t r = below(K);
        const auto v = static_cast<std::uint8_t>(OMEGA + 1 + below(255 - OMEGA));
        // Raising every later row too keeps the counts from falling, so only the limit is broken.
        const std::size_t last = below(2) == 0 ? r + 1 : K;
        for (std::size_t i = r; i < last; ++i) counts[i] = v;
        return true;
      }
      case Change::HintSwapped: {
        // The hint set stays the same, so only the rule that positions rise refuses it.
        const auto row = row_with(sig, 2);
        if (!row) return false;
        const std::size_t j = HINT_OFFSET + row->start + below(row->end - row->start - 1);
        std::swap(sig[j], sig[j + 1]);
        return true;
      }
      case Change::HintRepeated: {
        // A position written twice, the rest moved up and the counts raised: the hint means the
        // same, so a decoder that allows repeats would accept this signature.
        const std::size_t used = counts[K - 1];
        const auto row = row_with(sig, 1);
        if (!row || used >= OMEGA) return false;
        const std::size_t j = HINT_OFFSET + row->start + below(row->end - row->start);
        std::copy_backward(sig.begin() + static_cast<std::ptrdiff_t>(j),
                           sig.begin() + static_cast<std::ptrdiff_t>(HINT_OFFSET + used),
                           sig.begin() + static_cast<std::ptrdiff_t>(HINT_OFFSET + used + 1));
        for (std::size_t r = row->row; r < K; ++r) ++counts[r];
        return true;
      }
      case Change::HintPadding: {
        const std::size_t used = counts[K - 1];
        if (used >= OMEGA) return false;
        sig[HINT_OFFSET + used + below(OMEGA - used)] = static_cast<std::uint8_t>(1 + below(255));
        return true;
      }
      case Change::ZJustWithin:
        set_one_z(sig, Z_BOUND - 1, below(2) == 0);
        return true;
      case Change::ZAtBound:
        set_one_z(sig, Z_BOUND, below(2) == 0);
        return true;
      case Change::ZAtItsEnds: {
        const std::size_t s = below(L), i = below(N);
        set_z(sig, s, i, below(2) == 0 ? GAMMA1 : 1 - GAMMA1);
        return true;
      }
      case Change::WrongLength: {
        const std::size_t pick = below(4);
        if (pick == 0) {
          sig.push_back(0);
        } else {
          sig.resize(pick == 1 ? SIGNATURE_BYTES - 1 : pick == 2 ? 0 : below(SIGNATURE_BYTES));
        }
        return true;
      }
      case Change::AllZero:
        std::fill(sig.begin(), sig.end(), 0);
        return true;
      case Change::KeyBit:
        if (below(4) == 0) {
          flip_bit(c.key, 0, SEED_BYTES);
        } else {
          flip_bit(c.key, 0, PUBLIC_KEY_BYTES);
        }
        return true;
      case Change::MessageBit:
        if (c.message.empty()) {
          c.message.push_back(static_cast<std::uint8_t>(rng_()));
        } else {
          flip_bit(c.message, 0, c.message.size());
        }
        return true;
      case Change::ContextBit:
        if (c.context.empty()) {
          c.context.push_back(static_cast<std::uint8_t>(rng_()));
        } else {
          flip_bit(c.context, 0, c.context.size());
        }
        return true;
      case Change::Context256: {
        const std::size_t had = c.context.size();
        c.context.resize(MAX_CONTEXT_BYTES + 1);
        fill(std::span(c.context).subspan(had));
        return true;
      }
      case Change::Count:
        break;
    }
    return false;
  }

 private:
  std::mt19937_64& rng_;
};

}  // namespace halyx::mldsa::test
