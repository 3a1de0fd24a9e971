// The rounding behind the hint, checked on every r in [0, q) against the definitions transcribed
// here as plainly as they read, with 64-bit arithmetic and no shortcuts. Every value is checked
// because the faults that matter sit on single values: r0 = 0 taken as positive, the top band
// (r - r0 = q - 1) not folded to r1 = 0, a wrap of r1 that misses 15 -> 0 or 0 -> 15, the norm's
// midpoint (q - 1) / 2.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <halyx/mldsa/encoding.hpp>
#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa {
namespace {

// r mod+- alpha: the representative of r modulo alpha in (-alpha/2, alpha/2]; for odd alpha that
// is [-(alpha-1)/2, (alpha-1)/2].
std::int64_t mod_pm(std::int64_t r, std::int64_t alpha) {
  std::int64_t m = ((r % alpha) + alpha) % alpha;
  if (m > alpha / 2) m -= alpha;
  return m;
}

struct Split {
  std::int64_t r1, r0;
};

Split reference_decompose(std::int64_t r) {
  std::int64_t r0 = mod_pm(r, 2 * std::int64_t{GAMMA2});
  if (r - r0 == Q - 1) return {0, r0 - 1};
  return {(r - r0) / (2 * std::int64_t{GAMMA2}), r0};
}

std::int64_t reference_use_hint(bool hint, std::int64_t r) {
  constexpr std::int64_t m = (Q - 1) / (2 * std::int64_t{GAMMA2});  // 16 values of r1
  const Split s = reference_decompose(r);
  if (!hint) return s.r1;
  return s.r0 > 0 ? (s.r1 + 1) % m : (s.r1 - 1 + m) % m;
}

std::int64_t reference_norm(std::int64_t r) { return std::llabs(mod_pm(r, Q)); }

// The first value a function got wrong, and how many it got wrong.
struct Mismatches {
  std::int64_t count = 0, first = -1;
  void note(bool equal, std::int64_t r) {
    if (equal) return;
    if (count++ == 0) first = r;
  }
};

TEST(MlDsaRounding, EveryResidueMatchesTheDefinitions) {
  Mismatches decomposed, no_hint, with_hint, norm;
  for (std::int32_t r = 0; r < Q; ++r) {
    const Decomposed d = decompose(r);
    const Split want = reference_decompose(r);
    decomposed.note(d.r1 == want.r1 && d.r0 == want.r0, r);
    no_hint.note(use_hint(false, r) == reference_use_hint(false, r), r);
    with_hint.note(use_hint(true, r) == reference_use_hint(true, r), r);
    norm.note(centred_norm(r) == reference_norm(r), r);
  }
  const auto report = [](const char* what, const Mismatches& m) {
    EXPECT_EQ(m.count, 0) << what << " differs on " << m.count << " values, first r = " << m.first;
  };
  report("decompose", decomposed);
  report("use_hint(false, r)", no_hint);
  report("use_hint(true, r)", with_hint);
  report("centred_norm", norm);
}

}  // namespace
}  // namespace halyx::mldsa
