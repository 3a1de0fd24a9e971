// Our verifier against OpenSSL 3.5, used only through its public interface: fresh keys, fresh
// signatures over random messages and contexts, and many kinds of damage to them. On every code
// path our verdict must be OpenSSL's, every time, and each untouched signature must verify.
//
// The outside vectors hold a few dozen keys; this meets a thousand, with hint sets, message lengths
// and contexts of every size, and damage aimed at each check the verifier makes: the hint decoder's
// rules one by one, z at and around its bound, lengths, the challenge, key, message and context.
// Keys and signing randomness come from the seed the test prints, so any report can be made again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mldsa/layout.hpp"
#include "mldsa/openssl_oracle.hpp"
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>

namespace halyx::mldsa {
namespace {

using test::HINT_COUNTS_OFFSET;
using test::HINT_OFFSET;
using test::set_z;
using test::Z_BOUND;
using test::Z_OFFSET;

constexpr std::uint64_t DEFAULT_SEED = 0x5eed0f0dd5a11ced;
constexpr int KEYS = 1000;
constexpr int SIGNATURES_PER_KEY = 10;
constexpr std::size_t MAX_MESSAGE = 4096;

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

// A preparation for each path, indexed by the path's value.
using PreparedPerPath = std::array<std::optional<PreparedVerification>, PATH_COUNT>;

// What the runs saw, added up over keys and threads.
struct Tally {
  std::array<int, CHANGES> tried{}, accepted{};
  int checks = 0;
  void add(const Tally& t) {
    for (std::size_t c = 0; c < CHANGES; ++c) {
      tried[c] += t.tried[c];
      accepted[c] += t.accepted[c];
    }
    checks += t.checks;
  }
};

// One fresh key and its signatures. Its random numbers come from the seed and the key's index
// alone, so a report names a case that can be made again whatever thread ran it.
class KeyRun {
 public:
  KeyRun(std::uint64_t seed, int key_index, const halyx::test::MlDsa65Oracle& oracle, Tally& tally,
         std::atomic<int>& failures)
      : seed_(seed),
        key_index_(key_index),
        oracle_(oracle),
        tally_(tally),
        failures_(failures),
        next_change_(static_cast<std::size_t>(key_index) * 2 * SIGNATURES_PER_KEY) {
    std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                           static_cast<std::uint32_t>(key_index)};
    rng_.seed(sequence);
  }

  void run() {
    std::array<std::uint8_t, 32> key_seed;
    fill(key_seed);
    const halyx::test::EvpPkey key = oracle_.generate(key_seed);
    const ByteString public_key = halyx::test::MlDsa65Oracle::public_key(key.get());
    for (int j = 0; j < SIGNATURES_PER_KEY && failures_ < 10; ++j) {
      signature_index_ = j;
      check_signature(key.get(), public_key);
    }
  }

 private:
  void fill(std::span<std::uint8_t> out) {
    for (auto& b : out) b = static_cast<std::uint8_t>(rng_());
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

  ByteString random_bytes(std::size_t max) {
    // An eighth empty, an eighth at the largest size, the rest anywhere between.
    const std::size_t pick = below(8);
    const std::size_t n = pick == 0 ? 0 : pick == 1 ? max : below(max + 1);
    ByteString out(n);
    fill(out);
    return out;
  }

  void check_signature(EVP_PKEY* key, const ByteString& public_key) {
    Case fresh{public_key, random_bytes(MAX_MESSAGE), random_bytes(MAX_CONTEXT_BYTES), {}};
    std::array<std::uint8_t, 32> randomness;
    fill(randomness);
    fresh.signature = oracle_.sign(key, fresh.message, fresh.context, randomness);
    ASSERT_EQ(fresh.signature.size(), SIGNATURE_BYTES) << "OpenSSL did not sign";

    // The untouched signature: prepared once per path, and kept for the changes that leave key
    // and signature alone, which is how a call decides two messages with one preparation.
    PreparedPerPath prepared;
    for (const Path p : available_paths()) {
      prepared[static_cast<std::size_t>(p)] = prepare(key_view(public_key), fresh.signature, kernels_for(p));
    }
    const bool openssl = oracle_.verify(key, fresh.message, fresh.context, fresh.signature);
    EXPECT_TRUE(openssl) << "OpenSSL refused its own signature";
    compare("untouched", fresh, openssl, prepared);

    // Two changes per signature, taking turns through the list; one that does not apply to this
    // signature (no row with two hints, say) gives way to the next.
    for (int t = 0; t < 2; ++t) {
      for (std::size_t step = 0; step < CHANGES; ++step) {
        const auto change = static_cast<Change>(next_change_++ % CHANGES);
        Case changed = fresh;
        if (!apply(change, changed)) continue;
        const auto c = static_cast<std::size_t>(change);
        ++tally_.tried[c];
        const bool same_key_and_signature = changed.key == fresh.key && changed.signature == fresh.signature;
        const bool verdict = changed.key == fresh.key
                                 ? oracle_.verify(key, changed.message, changed.context, changed.signature)
                                 : oracle_.verify(changed.key, changed.message, changed.context, changed.signature);
        tally_.accepted[c] += compare(CHANGE_NAMES[c], changed, verdict, prepared, same_key_and_signature) ? 1 : 0;
        if (change == Change::Context256) {
          EXPECT_TRUE(oracle_.sign(key, changed.message, changed.context, randomness).empty())
              << "OpenSSL signed with a 256-byte context";
        }
        break;
      }
    }
  }

  // Returns whether both sides accepted; records a failure on every path that disagrees with OpenSSL.
  bool compare(const char* what, const Case& c, bool openssl, const PreparedPerPath& fresh, bool reuse = true) {
    bool all_accept = openssl;
    for (const Path p : available_paths()) {
      ++tally_.checks;
      const bool ours = reuse ? fresh[static_cast<std::size_t>(p)]->decide(c.message, c.context)
                              : prepare(key_view(c.key), c.signature, kernels_for(p)).decide(c.message, c.context);
      all_accept = all_accept && ours;
      if (ours == openssl) continue;
      ADD_FAILURE() << "seed 0x" << std::hex << seed_ << std::dec << ", key " << key_index_ << ", signature "
                    << signature_index_ << ", " << what << ", path " << path_name(p) << ": OpenSSL "
                    << (openssl ? "accepts" : "refuses") << ", ours " << (ours ? "accepts" : "refuses");
      if (failures_++ == 0) dump(c);  // the first disagreement in full; the seed repeats the rest
    }
    return all_accept;
  }

  static void dump(const Case& c) {
    const auto hex = [](const char* name, const ByteString& bytes) {
      std::fprintf(stderr, "%s ", name);
      for (const std::uint8_t b : bytes) std::fprintf(stderr, "%02x", b);
      std::fprintf(stderr, "\n");
    };
    hex("key", c.key);
    hex("message", c.message);
    hex("context", c.context);
    hex("signature", c.signature);
  }

  static PublicKeyView key_view(const ByteString& key) { return PublicKeyView(key.data(), PUBLIC_KEY_BYTES); }

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

  // Applies `change` to c; returns false when it cannot apply to this signature.
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

  std::uint64_t seed_;
  int key_index_;
  const halyx::test::MlDsa65Oracle& oracle_;
  Tally& tally_;
  std::atomic<int>& failures_;
  std::size_t next_change_;
  int signature_index_ = 0;
  std::mt19937_64 rng_;
};

std::uint64_t seed_from_environment() {
  // A seed of another run can be given to repeat it; the default keeps CI's runs identical.
  const char* text = std::getenv("HALYX_MLDSA_DIFFERENTIAL_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : DEFAULT_SEED;
}

TEST(MlDsaDifferential, AgreesWithOpenSslOnFreshAndDamagedSignatures) {
  const std::uint64_t seed = seed_from_environment();
  // OpenSSL's signing takes most of the time; the keys are shared out between the cores.
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::vector<Tally> tallies(threads);
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const halyx::test::MlDsa65Oracle oracle;
      for (auto k = static_cast<int>(t); k < KEYS && failures < 10; k += static_cast<int>(threads)) {
        KeyRun(seed, k, oracle, tallies[t], failures).run();
      }
    });
  }
  for (auto& w : workers) w.join();
  Tally total;
  for (const Tally& t : tallies) total.add(t);

  std::printf("differential: seed 0x%016" PRIx64 ", %d keys, %d signatures, %d checks on %zu paths, %u threads\n",
              seed, KEYS, KEYS * SIGNATURES_PER_KEY, total.checks, available_paths().size(), threads);
  for (std::size_t c = 0; c < CHANGES; ++c) {
    std::printf("  %-16s %6d tried, %6d accepted by both\n", CHANGE_NAMES[c], total.tried[c], total.accepted[c]);
  }
  for (std::size_t c = 0; c < CHANGES; ++c) {
    // Each kind must have met many signatures; rotation and applicability decide how many.
    EXPECT_GE(total.tried[c], 300) << CHANGE_NAMES[c];
  }
}

}  // namespace
}  // namespace halyx::mldsa
