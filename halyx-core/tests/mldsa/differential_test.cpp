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
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mldsa/damage.hpp"
#include "mldsa/layout.hpp"
#include "mldsa/openssl_oracle.hpp"
#include "mldsa/verdict_record.hpp"
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>

namespace halyx::mldsa {
namespace {

using test::Case;
using test::Change;
using test::CHANGE_NAMES;
using test::CHANGES;

constexpr std::uint64_t DEFAULT_SEED = 0x5eed0f0dd5a11ced;
constexpr int KEYS = 1000;
constexpr int SIGNATURES_PER_KEY = 10;
constexpr std::size_t MAX_MESSAGE = 4096;

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
        if (!test::Damage(rng_).apply(change, changed)) continue;
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
      // A fresh preparation takes the message along, as a call's first decision does.
      const bool ours = reuse ? fresh[static_cast<std::size_t>(p)]->decide(c.message, c.context)
                              : prepare(key_view(c.key), c.signature, c.message, c.context, kernels_for(p))
                                    .decide_prepared();
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

// OpenSSL's verdicts for the replay on aarch64 under emulation (replay_test.cpp), written to the
// file HALYX_MLDSA_DIFFERENTIAL_RECORD names; skipped when it names none. Each fresh signature
// meets every kind of damage once, each drawn from a seed the record keeps, so that the replaying
// side draws the same damage without OpenSSL. Our paths on this machine are held to the verdicts
// too, so that a record never carries a disagreement the replay would only echo.
TEST(MlDsaDifferential, RecordsVerdictsForReplay) {
  const char* path = std::getenv("HALYX_MLDSA_DIFFERENTIAL_RECORD");
  if (path == nullptr) GTEST_SKIP() << "HALYX_MLDSA_DIFFERENTIAL_RECORD names no file";
  constexpr int RECORD_KEYS = 60;
  constexpr std::uint64_t RECORD_SEED = 0x7265706c61792121;
  const halyx::test::MlDsa65Oracle oracle;
  ByteString record(test::VERDICT_RECORD_MAGIC.begin(), test::VERDICT_RECORD_MAGIC.end());
  int verdicts = 0, signatures = 0;
  std::array<int, CHANGES> applied{};
  for (int k = 0; k < RECORD_KEYS; ++k) {
    std::mt19937_64 rng(RECORD_SEED + static_cast<std::uint64_t>(k));
    test::Damage draw(rng);
    std::array<std::uint8_t, 32> key_seed;
    draw.fill(key_seed);
    const halyx::test::EvpPkey key = oracle.generate(key_seed);
    const ByteString public_key = halyx::test::MlDsa65Oracle::public_key(key.get());
    test::record_key(record, public_key);
    const auto bytes = [&](std::size_t max) {
      const std::size_t pick = draw.below(8);
      ByteString out(pick == 0 ? 0 : pick == 1 ? max : draw.below(max + 1));
      draw.fill(out);
      return out;
    };
    for (int j = 0; j < SIGNATURES_PER_KEY; ++j) {
      Case fresh{public_key, bytes(MAX_MESSAGE), bytes(MAX_CONTEXT_BYTES), {}};
      std::array<std::uint8_t, 32> randomness;
      draw.fill(randomness);
      fresh.signature = oracle.sign(key.get(), fresh.message, fresh.context, randomness);
      ASSERT_EQ(fresh.signature.size(), SIGNATURE_BYTES) << "OpenSSL did not sign";
      test::RecordedSignature entry{fresh.message, fresh.context, fresh.signature, rng(), 0, {}};
      const auto ours_agree = [&](const Case& c, bool openssl, const char* what) {
        for (const Path p : available_paths()) {
          const bool ours = prepare(PublicKeyView(c.key.data(), PUBLIC_KEY_BYTES), c.signature, kernels_for(p))
                                .decide(c.message, c.context);
          EXPECT_EQ(ours, openssl) << "key " << k << ", signature " << j << ", " << what << ", path " << path_name(p);
        }
      };
      const bool openssl = oracle.verify(key.get(), fresh.message, fresh.context, fresh.signature);
      EXPECT_TRUE(openssl) << "OpenSSL refused its own signature";
      ours_agree(fresh, openssl, "untouched");
      entry.fresh_verdict = openssl ? test::ACCEPTED : test::REFUSED;
      ++verdicts;
      std::mt19937_64 damage_rng = test::damage_generator(entry.damage_seed);
      for (std::size_t c = 0; c < CHANGES; ++c) {
        Case changed = fresh;
        if (!test::Damage(damage_rng).apply(static_cast<Change>(c), changed)) {
          entry.damaged[c] = test::NOT_APPLIED;
          continue;
        }
        const bool verdict = changed.key == fresh.key
                                 ? oracle.verify(key.get(), changed.message, changed.context, changed.signature)
                                 : oracle.verify(changed.key, changed.message, changed.context, changed.signature);
        ours_agree(changed, verdict, CHANGE_NAMES[c]);
        entry.damaged[c] = verdict ? test::ACCEPTED : test::REFUSED;
        ++verdicts;
        ++applied[c];
      }
      test::record_signature(record, entry);
      ++signatures;
      if (testing::Test::HasFailure()) return;
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
  out.close();
  ASSERT_TRUE(out.good()) << "could not write " << path;
  std::printf("recorded: %d verdicts on %d fresh signatures under %d keys, %zu bytes, in %s\n", verdicts, signatures,
              RECORD_KEYS, record.size(), path);
  EXPECT_GE(verdicts, 10000);
  for (std::size_t c = 0; c < CHANGES; ++c) EXPECT_GE(applied[c], 200) << CHANGE_NAMES[c];
}

}  // namespace
}  // namespace halyx::mldsa
