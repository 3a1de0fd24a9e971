// each_path.hpp: runs a test once for every code path this CPU has, the path's name ending the
// test's own (MlDsaGlue.UnpackZMatchesTheLayoutAndTheBound/avx2), so that a failure names its path.
//
//   class MlDsaGlue : public test::EachPath {};
//   TEST_P(MlDsaGlue, ...) { ... kernels() ... }
//   HALYX_FOR_EACH_PATH(MlDsaGlue);
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <halyx/mldsa/path.hpp>
#if defined(__x86_64__)
#include <halyx/mldsa/x86_64/kernels.hpp>
#endif

namespace halyx::mldsa::test {

class EachPath : public testing::TestWithParam<Path> {
 protected:
  static const Kernels& kernels() { return kernels_for(GetParam()); }
};

// The tables of path `p` that differ only in their Keccak lanes: the one kernels_for() hands this
// CPU first, then, on the AVX2 path, the other of its four- and five-lane tables, so that the
// tests of the lanes cover both on every CPU with AVX2.
inline std::vector<const Kernels*> lane_variants(Path p) {
  std::vector<const Kernels*> out{&kernels_for(p)};
#if defined(__x86_64__)
  if (p == Path::Avx2) {
    out.push_back(out[0] == &x86_64::AVX2_KERNELS ? &x86_64::AVX2_FIVE_LANE_KERNELS : &x86_64::AVX2_KERNELS);
  }
#endif
  return out;
}

inline std::string path_test_name(const testing::TestParamInfo<Path>& info) {
  return std::string(path_name(info.param));
}

}  // namespace halyx::mldsa::test

// No prefix, so the suite keeps its name and filters on it (MlDsaGlue.*) still match.
#define HALYX_FOR_EACH_PATH(suite) \
  INSTANTIATE_TEST_SUITE_P(, suite, testing::ValuesIn(available_paths()), ::halyx::mldsa::test::path_test_name)
