// The process verifies with the path its build asked for: the best one the CPU has by default,
// or the pinned one (HALYX_MLDSA_PATH), unless the CPU lacks it, when it falls back to the
// portable path. The test build is told which setting it was configured with.
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include <halyx/mldsa/path.hpp>

namespace halyx::mldsa {
namespace {

TEST(MlDsaPathChoice, SelectedPathFollowsTheBuildSetting) {
  const std::string_view setting = HALYX_MLDSA_PATH_SETTING;
  const auto paths = available_paths();
  Path expected = paths.back();
  if (setting != "auto") {
    const auto pinned = std::find_if(paths.begin(), paths.end(), [&](Path p) { return path_name(p) == setting; });
    expected = pinned == paths.end() ? Path::Portable : *pinned;
  }
  EXPECT_EQ(path_name(selected_path()), path_name(expected)) << "built with HALYX_MLDSA_PATH=" << setting;
}

}  // namespace
}  // namespace halyx::mldsa
