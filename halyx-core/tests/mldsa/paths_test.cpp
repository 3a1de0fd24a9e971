// Every vector path must compute the same values as the portable one at each stage the verdict
// depends on: A, NTT(t1 * 2^d), the challenge c and the hinted high bits w'1. A verdict alone
// hides most faults (a wrong w'1 just fails, as a forgery would), and the outside vectors hold
// few keys; comparing the stages on hundreds of random keys and well-formed signatures names the
// kernel that went wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <numeric>
#include <random>
#include <string>

#include "mldsa/each_path.hpp"
#include "mldsa/layout.hpp"
#include <halyx/digest/sha256_compress.hpp>
#include <halyx/mldsa/expand.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>

namespace halyx::mldsa {
namespace {

using test::HintRows;
using test::Z_BOUND;

constexpr std::uint64_t SEED = 0x6d6c6473612d7061;
constexpr int INPUTS = 300;

struct Input {
  ByteString key = ByteString(PUBLIC_KEY_BYTES);
  ByteString signature = ByteString(SIGNATURE_BYTES);
};

// A random key and a well-formed signature (z within bound, hint encoded as it must be). The first
// few are extremes: t1 at its largest (t1 * 2^d = q - 1) and at zero, z at both ends of its bound,
// and a full hint that uses positions 0 and 255.
Input make_input(std::mt19937_64& rng, int index) {
  Input in;
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : in.key) b = static_cast<std::uint8_t>(byte(rng));
  for (auto& b : in.signature) b = static_cast<std::uint8_t>(byte(rng));
  if (index == 0 || index == 1) std::fill(in.key.begin() + SEED_BYTES, in.key.end(), index == 0 ? 0xFF : 0x00);

  std::uniform_int_distribution<std::int32_t> within(-(Z_BOUND - 1), Z_BOUND - 1);
  for (std::size_t s = 0; s < L; ++s) {
    for (std::size_t i = 0; i < N; ++i) {
      std::int32_t z = within(rng);
      if (index == 2 || index == 3) {
        z = index == 2 ? Z_BOUND - 1 : -(Z_BOUND - 1);
      } else if (rng() % 8 == 0) {
        z = rng() % 2 == 0 ? Z_BOUND - 1 : -(Z_BOUND - 1);
      }
      test::set_z(in.signature, s, i, z);
    }
  }

  const std::size_t total = index == 4 ? OMEGA : rng() % (OMEGA + 1);
  std::array<std::size_t, K> per_row{};
  for (std::size_t h = 0; h < total; ++h) ++per_row[rng() % K];
  HintRows rows(K);
  std::array<std::uint8_t, N> positions;
  std::iota(positions.begin(), positions.end(), 0);
  for (std::size_t r = 0; r < K; ++r) {
    std::shuffle(positions.begin(), positions.end(), rng);
    rows[r].assign(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(per_row[r]));
    if (index == 4 && rows[r].size() >= 2) {
      rows[r][0] = 0;
      rows[r][1] = 255;
    }
    std::sort(rows[r].begin(), rows[r].end());
    rows[r].erase(std::unique(rows[r].begin(), rows[r].end()), rows[r].end());
  }
  test::set_hint(in.signature, rows);
  return in;
}

// What one path computes from one input, every residue in [0, q) where paths may differ in representative.
// A and c are expand()'s, the very computation prepare() runs.
struct Stages {
  std::unique_ptr<Expansion> x = std::make_unique<Expansion>();
  std::array<Poly, K> t1_ntt;
  bool well_formed = false;
  std::array<std::uint8_t, W1_ENCODED_BYTES> w1{};
};

Stages run(const Input& in, const Kernels& kernels) {
  Stages out;
  const PublicKeyView key(in.key.data(), PUBLIC_KEY_BYTES);
  const auto work = std::make_unique<ExpansionSponges>();
  expand(*out.x, *work, key, std::span<const std::uint8_t, C_TILDE_BYTES>(in.signature.data(), C_TILDE_BYTES), kernels);
  for (std::size_t r = 0; r < K; ++r) {
    Poly& t = out.t1_ntt[r];
    kernels.unpack_t1_shifted(t, in.key.data() + SEED_BYTES + r * T1_POLY_BYTES);
    kernels.ntt(t);
    for (auto& x : t.coeffs) {
      // The kernel promises |x| < q; a value outside would make the normalisation below lie.
      EXPECT_LT(x < 0 ? -x : x, Q) << "NTT(t1 * 2^d) out of range";
      x = (x % Q + Q) % Q;
    }
  }
  const auto prepared = prepare(key, in.signature, kernels);
  out.well_formed = prepared.well_formed();
  out.w1 = prepared.w1_encoded();
  return out;
}

// The index of the first coefficient where a and b differ, or -1.
int first_difference(const Poly& a, const Poly& b) {
  const auto at = std::mismatch(a.coeffs.begin(), a.coeffs.end(), b.coeffs.begin());
  return at.first == a.coeffs.end() ? -1 : static_cast<int>(at.first - a.coeffs.begin());
}

// ExpandA as it reads: entry (r, s) takes SHAKE128(rho || s || r) three bytes at a time, the top
// bit dropped, each value kept when below q.
Poly reference_entry(std::span<const std::uint8_t, SEED_BYTES> rho, std::size_t r, std::size_t s) {
  Shake128 xof;
  xof.absorb(rho);
  const std::uint8_t indices[2] = {static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(r)};
  xof.absorb(indices);
  Poly entry{};
  for (std::size_t filled = 0; filled < N;) {
    std::array<std::uint8_t, 3> b;
    xof.squeeze(b);
    const std::int32_t v = b[0] | b[1] << 8 | (b[2] & 0x7F) << 16;
    if (v < Q) entry.coeffs[filled++] = v;
  }
  return entry;
}

// SampleInBall as it reads: the 64 sign bits first, then for each i from N - TAU up a byte j <= i,
// drawn until one fits; c_i takes c_j, and c_j the next sign.
Poly reference_challenge(std::span<const std::uint8_t, C_TILDE_BYTES> c_tilde) {
  Shake256 h;
  h.absorb(c_tilde);
  std::array<std::uint8_t, 8> sign_bytes;
  h.squeeze(sign_bytes);
  std::uint64_t signs = 0;
  for (std::size_t b = 0; b < 8; ++b) signs |= std::uint64_t{sign_bytes[b]} << (8 * b);
  Poly c{};
  for (std::size_t i = N - TAU; i < N; ++i) {
    std::array<std::uint8_t, 1> j;
    do {
      h.squeeze(j);
    } while (j[0] > i);
    c.coeffs[i] = c.coeffs[j[0]];
    c.coeffs[j[0]] = 1 - 2 * static_cast<std::int32_t>(signs & 1);
    signs >>= 1;
  }
  return c;
}

class MlDsaPaths : public test::EachPath {};
HALYX_FOR_EACH_PATH(MlDsaPaths);

// Each path's stages against the portable path's, and for the first inputs A, c and tr against
// their definitions, so that a fault every path shares shows too.
TEST_P(MlDsaPaths, ComputeThePortableStages) {
  const Path p = GetParam();
  std::mt19937_64 rng(SEED);
  for (int index = 0; index < INPUTS; ++index) {
    const Input in = make_input(rng, index);
    SCOPED_TRACE("input " + std::to_string(index));
    const Stages got = run(in, kernels());
    ASSERT_TRUE(got.well_formed) << "input " << index << " should be a well-formed signature";
    for (std::size_t e = 0; e < K * L; ++e) {
      const Poly& entry = got.x->a[e / L][e % L];
      const auto canonical = [](std::int32_t x) { return x >= 0 && x < Q; };
      EXPECT_TRUE(std::all_of(entry.coeffs.begin(), entry.coeffs.end(), canonical))
          << "A[" << e / L << "][" << e % L << "] has a coefficient outside [0, q)";
    }
    if (index < 4) {
      const auto rho = std::span<const std::uint8_t, SEED_BYTES>(in.key.data(), SEED_BYTES);
      for (std::size_t e = 0; e < K * L; ++e) {
        EXPECT_EQ(first_difference(got.x->a[e / L][e % L], reference_entry(rho, e / L, e % L)), -1)
            << "A[" << e / L << "][" << e % L << "] against its definition";
      }
      const auto c_tilde = std::span<const std::uint8_t, C_TILDE_BYTES>(in.signature.data(), C_TILDE_BYTES);
      EXPECT_EQ(first_difference(got.x->c, reference_challenge(c_tilde)), -1) << "c against its definition";
      std::array<std::uint8_t, TR_BYTES> tr;
      Shake256 h;
      h.absorb(in.key);
      h.squeeze(tr);
      EXPECT_TRUE(got.x->tr == tr) << "tr against its definition";
    }
    if (p != Path::Portable) {
      const Stages want = run(in, kernels_for(Path::Portable));
      for (std::size_t e = 0; e < K * L; ++e) {
        EXPECT_EQ(first_difference(got.x->a[e / L][e % L], want.x->a[e / L][e % L]), -1)
            << "A[" << e / L << "][" << e % L << "]";
      }
      for (std::size_t r = 0; r < K; ++r) {
        EXPECT_EQ(first_difference(got.t1_ntt[r], want.t1_ntt[r]), -1) << "NTT(t1 * 2^d), row " << r;
      }
      EXPECT_EQ(first_difference(got.x->c, want.x->c), -1) << "challenge c";
      EXPECT_TRUE(got.x->tr == want.x->tr) << "tr";
      EXPECT_EQ(got.well_formed, want.well_formed);
      EXPECT_TRUE(got.w1 == want.w1) << "w'1";
    }
    if (testing::Test::HasFailure()) return;  // one input's report is enough to find the kernel
  }
}

// ExpandA's acceptance rule as it reads: three bytes, the top bit dropped, kept when below q.
std::size_t reference_rejection_sample(std::int32_t* out, std::size_t filled, const std::uint8_t* b, std::size_t len) {
  for (std::size_t i = 0; i + 3 <= len && filled < N; i += 3) {
    const std::int32_t v = b[i] | b[i + 1] << 8 | (b[i + 2] & 0x7F) << 16;
    if (v < Q) out[filled++] = v;
  }
  return filled;
}

// Random inputs almost never reach the values where vector kernels go wrong: a candidate of exactly
// q (kept by a <= comparison) or with the dropped bit set, a buffer that fills the polynomial midway,
// products of coefficients at +-(q - 1) that overflow a lazy reduction. Each kernel meets them here.
TEST_P(MlDsaPaths, KernelsAgreeOnEdgeInputs) {
  std::mt19937_64 rng(SEED + 1);
  constexpr std::array<std::int32_t, 10> candidates = {0, 1, Q - 2, Q - 1, Q, Q + 1, (1 << 23) - 1, 1 << 22,
                                                       (1 << 23) - (1 << 13), 123456};
  constexpr std::array<std::size_t, 6> starts = {0, 1, 200, 240, 254, 255};
  constexpr std::array<std::size_t, 5> lengths = {0, 3, 21, 48, SHAKE128_RATE};
  const Kernels& k = kernels();
  for (int round = 0; round < 50; ++round) {
    // The kernel may read 32 bytes past len; they hold candidates it must not take.
    std::array<std::uint8_t, SHAKE128_RATE + 32> bytes;
    for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
      const auto v = static_cast<std::uint32_t>(candidates[rng() % candidates.size()]);
      const std::uint32_t top = rng() % 2 == 0 ? 0x80u : 0u;
      bytes[i] = static_cast<std::uint8_t>(v);
      bytes[i + 1] = static_cast<std::uint8_t>(v >> 8);
      bytes[i + 2] = static_cast<std::uint8_t>(v >> 16 | top);
    }
    for (const std::size_t start : starts) {
      for (const std::size_t len : lengths) {
        Poly want, got;
        want.coeffs.fill(-1);
        got.coeffs.fill(-1);
        const std::size_t want_n = reference_rejection_sample(want.coeffs.data(), start, bytes.data(), len);
        const std::size_t got_n = k.rejection_sample(got.coeffs.data(), start, bytes.data(), len);
        ASSERT_EQ(got_n, want_n) << "rejection_sample count, start " << start << ", len " << len;
        // Slots past the count may hold a vector kernel's scratch; everything before it must match.
        ASSERT_TRUE(std::equal(got.coeffs.begin(), got.coeffs.begin() + static_cast<std::ptrdiff_t>(got_n),
                               want.coeffs.begin()))
            << "rejection_sample, start " << start << ", len " << len;
      }
    }
  }

  // One row of A z - c t at the ends of the kernel's input range, against the portable kernel mod q.
  const auto fill = [&](Poly& poly, int shape) {
    for (auto& x : poly.coeffs) {
      switch (shape) {
        case 0: x = Q - 1; break;
        case 1: x = -(Q - 1); break;
        case 2: x = rng() % 2 == 0 ? Q - 1 : -(Q - 1); break;
        default: x = static_cast<std::int32_t>(rng() % (2 * Q - 1)) - (Q - 1); break;
      }
    }
  };
  for (int shape = 0; shape < 4; ++shape) {
    std::array<Poly, L> a, z;
    Poly c, t, want, got;
    for (auto& x : a) fill(x, shape);
    for (auto& x : z) fill(x, (shape + 1) % 4);
    fill(c, shape == 0 ? 1 : shape);
    fill(t, shape);
    kernels_for(Path::Portable).matrix_row(want, a.data(), z.data(), c, t);
    k.matrix_row(got, a.data(), z.data(), c, t);
    for (std::size_t i = 0; i < N; ++i) {
      ASSERT_LT(got.coeffs[i] < 0 ? -got.coeffs[i] : got.coeffs[i], Q) << "matrix_row out of range, shape " << shape;
      ASSERT_EQ((got.coeffs[i] - want.coeffs[i]) % Q, 0) << "matrix_row coefficient " << i << ", shape " << shape;
    }
  }
}

// The kernels run only where the CPU check allows them, so a check that answers no on a CPU that
// has the features costs the fast paths silently (every answer stays right). The kernel's own
// flags, as Linux reports them, say what the answer must be for each path's list of features
// (x86_64/features.hpp, whose names are Linux's).
TEST(CpuFeatures, DetectionFollowsTheKernelsFlags) {
#if !defined(__x86_64__)
  // Under qemu-user /proc/cpuinfo is the host's; scripts/test-mldsa-aarch64.sh checks the aarch64
  // detection against the CPU model it asks qemu for.
  GTEST_SKIP() << "x86-64 only";
#endif
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, vendor, family;
  std::set<std::string> flags;
  while (std::getline(cpuinfo, line)) {
    const std::string value = line.substr(line.find(':') + 1);
    if (line.rfind("vendor_id", 0) == 0) std::istringstream(value) >> vendor;
    if (line.rfind("cpu family", 0) == 0) std::istringstream(value) >> family;
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(value);
    for (std::string w; words >> w;) flags.insert(w);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "no x86 flags in /proc/cpuinfo";
  const auto has = [&](std::initializer_list<const char*> names) {
    return std::all_of(names.begin(), names.end(), [&](const char* n) { return flags.contains(n); });
  };
  const auto paths = available_paths();
  const auto offers = [&](Path p) { return std::find(paths.begin(), paths.end(), p) != paths.end(); };
  EXPECT_EQ(digest::detail::cpu_has_sha_ni(), has({"sha_ni", "sse4_1", "ssse3"})) << "sha_ni";
  // Linux gives the family in decimal: 26 is 1Ah, whose AVX2 path has five Keccak lanes.
  const bool family_1ah = vendor == "AuthenticAMD" && family == "26";
  EXPECT_EQ(this_cpu().amd_family_1ah, family_1ah) << vendor << " family " << family;
  if (offers(Path::Avx2)) {
    EXPECT_EQ(kernels_for(Path::Avx2).keccak_lanes, family_1ah ? 5u : 4u);
  }
  for (const Path p : {Path::Portable, Path::Avx2, Path::Avx512}) {
    const auto needs = x86_64::features_of(p);
    const bool expected = std::all_of(needs.begin(), needs.end(),
                                      [&](const x86_64::Feature& f) { return flags.contains(std::string(f.name)); });
    EXPECT_EQ(offers(p), expected) << path_name(p);
  }
  // Each path's list as the kernels need it, so that the list itself is checked as well.
  const auto names = [](Path p) {
    std::set<std::string> out;
    for (const x86_64::Feature& f : x86_64::features_of(p)) out.insert(std::string(f.name));
    return out;
  };
  EXPECT_TRUE(names(Path::Portable).empty());
  EXPECT_EQ(names(Path::Avx2), (std::set<std::string>{"avx2", "bmi1", "bmi2", "popcnt"}));
  EXPECT_EQ(names(Path::Avx512), (std::set<std::string>{"avx2", "bmi1", "bmi2", "popcnt", "avx512f", "avx512bw",
                                                        "avx512vl", "avx512dq", "avx512vbmi"}));
}

// A CPU is never handed a path that needs a feature it lacks, whatever this machine has: each
// row is a CPU given by its features, and lists the paths it may run.
TEST(CpuFeatures, PathsFollowTheFeatureSet) {
  CpuFeatures all;
  for (bool* f : {&all.avx2, &all.bmi1, &all.bmi2, &all.popcnt, &all.avx512f, &all.avx512bw, &all.avx512vl,
                  &all.avx512dq, &all.avx512vbmi}) {
    *f = true;
  }
  const CpuFeatures avx2_alone{.avx2 = true, .bmi1 = true, .bmi2 = true, .popcnt = true};
  const auto without = [&](bool CpuFeatures::*feature) {
    CpuFeatures cpu = all;
    cpu.*feature = false;
    return cpu;
  };
  struct Row {
    const char* name;
    CpuFeatures cpu;
    bool avx2, avx512;
  } rows[] = {
      {"no AVX", CpuFeatures{}, false, false},
      {"AVX2 alone", avx2_alone, true, false},
      {"everything", all, true, true},
      {"everything but AVX2", without(&CpuFeatures::avx2), false, false},
      {"everything but BMI1", without(&CpuFeatures::bmi1), false, false},
      {"everything but BMI2", without(&CpuFeatures::bmi2), false, false},
      {"everything but POPCNT", without(&CpuFeatures::popcnt), false, false},
      {"AVX-512 without F", without(&CpuFeatures::avx512f), true, false},
      {"AVX-512 without BW", without(&CpuFeatures::avx512bw), true, false},
      {"AVX-512 without VL", without(&CpuFeatures::avx512vl), true, false},
      {"AVX-512 without DQ", without(&CpuFeatures::avx512dq), true, false},
      {"AVX-512 without VBMI", without(&CpuFeatures::avx512vbmi), true, false},
  };
  for (const Row& r : rows) {
    EXPECT_TRUE(runs_on(Path::Portable, r.cpu)) << r.name;
    EXPECT_EQ(runs_on(Path::Avx2, r.cpu), r.avx2) << r.name;
    EXPECT_EQ(runs_on(Path::Avx512, r.cpu), r.avx512) << r.name;
  }
  // And from the paths' own lists: a CPU lacking any one listed feature is refused the path.
  for (const Path p : {Path::Avx2, Path::Avx512}) {
    EXPECT_TRUE(runs_on(p, all)) << path_name(p);
    for (const x86_64::Feature& f : x86_64::features_of(p)) {
      EXPECT_FALSE(runs_on(p, without(f.member))) << path_name(p) << " without " << f.name;
    }
  }
}

// The same for aarch64, whose features come from the kernel's hardware capability bits, and
// across architectures: an x86-64 CPU is never handed a NEON path, nor an aarch64 one an AVX path.
TEST(CpuFeatures, Aarch64PathsFollowTheFeatureSet) {
  CpuFeatures x86_all;
  for (bool* f : {&x86_all.avx2, &x86_all.bmi1, &x86_all.bmi2, &x86_all.popcnt, &x86_all.avx512f, &x86_all.avx512bw,
                  &x86_all.avx512vl, &x86_all.avx512dq, &x86_all.avx512vbmi}) {
    *f = true;
  }
  struct Row {
    const char* name;
    CpuFeatures cpu;
    bool neon, neon_sha3, avx2;
  } rows[] = {
      {"nothing", CpuFeatures{}, false, false, false},
      {"ASIMD", CpuFeatures{.asimd = true}, true, false, false},
      {"ASIMD and SHA-3", CpuFeatures{.asimd = true, .sha3 = true}, true, true, false},
      {"SHA-3 without ASIMD", CpuFeatures{.sha3 = true}, false, false, false},
      {"every x86-64 feature", x86_all, false, false, true},
  };
  for (const Row& r : rows) {
    EXPECT_TRUE(runs_on(Path::Portable, r.cpu)) << r.name;
    EXPECT_EQ(runs_on(Path::Neon, r.cpu), r.neon) << r.name;
    EXPECT_EQ(runs_on(Path::NeonSha3, r.cpu), r.neon_sha3) << r.name;
    EXPECT_EQ(runs_on(Path::Avx2, r.cpu), r.avx2) << r.name;
  }
  const auto paths = available_paths();
  EXPECT_EQ(paths.front(), Path::Portable);
#if defined(__aarch64__)
  // Every aarch64 CPU Linux runs on has ASIMD, so the NEON path is always offered here.
  EXPECT_NE(std::find(paths.begin(), paths.end(), Path::Neon), paths.end());
#endif
}

}  // namespace
}  // namespace halyx::mldsa
