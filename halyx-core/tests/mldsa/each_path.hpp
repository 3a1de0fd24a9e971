// each_path.hpp: runs a test once for every code path this CPU has, the path's name ending the
// test's own (MlDsaGlue.UnpackZMatchesTheLayoutAndTheBound/avx2), so that a failure names its path.
//
//   class MlDsaGlue : public test::EachPath {};
//   TEST_P(MlDsaGlue, ...) { ... kernels() ... }
//   HALYX_FOR_EACH_PATH(MlDsaGlue);
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <halyx/mldsa/path.hpp>

namespace halyx::mldsa::test {

class EachPath : public testing::TestWithParam<Path> {
 protected:
  static const Kernels& kernels() { return kernels_for(GetParam()); }
};

inline std::string path_test_name(const testing::TestParamInfo<Path>& info) {
  return std::string(path_name(info.param));
}

}  // namespace halyx::mldsa::test

// No prefix, so the suite keeps its name and filters on it (MlDsaGlue.*) still match.
#define HALYX_FOR_EACH_PATH(suite) \
  INSTANTIATE_TEST_SUITE_P(, suite, testing::ValuesIn(available_paths()), ::halyx::mldsa::test::path_test_name)
