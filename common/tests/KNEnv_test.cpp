#include "KNEnv.h"

#include "KNOs.h"

#include <gtest/gtest.h>

#include "KNTestTempDir.h"

namespace kn {
namespace {

using std::chrono::milliseconds;
using test::ScopedEnv;

TEST(KNEnvTest, SysRootPrefixesMachinePaths) {
  struct Case {
    std::optional<std::string> value;
    const char* root;
  } cases[] = {{std::nullopt, ""}, {"", ""}, {"/", ""}, {"/tmp/x", "/tmp/x"}, {"/tmp/x//", "/tmp/x"}};
  for (const auto& c : cases) {
    ScopedEnv env("KN_SYSROOT", c.value);
    EXPECT_EQ(sysRoot(), c.root);
    EXPECT_EQ(underSysRoot("/etc/kestrane/HKLM.reg"), std::string(c.root) + "/etc/kestrane/HKLM.reg");
  }
}

TEST(KNEnvTest, TimeScaleAcceptsOnlyPositiveNumbers) {
  struct Case {
    std::optional<std::string> value;
    double scale;
  } cases[] = {{std::nullopt, 1}, {"", 1},    {"60", 60}, {"0.5", 0.5}, {"0", 1},   {"-3", 1},
               {"abc", 1},        {"10x", 1}, {"nan", 1}, {"inf", 1},   {"1e20", 1}};
  for (const auto& c : cases) {
    ScopedEnv env("KN_TIME_SCALE", c.value);
    EXPECT_EQ(timeScale(), c.scale) << c.value.value_or("(unset)");
  }
}

TEST(KNEnvTest, ScaledDurationsNeverReachZero) {
  ScopedEnv env("KN_TIME_SCALE", "1000");
  EXPECT_EQ(scaled(milliseconds(540'000)), milliseconds(540));
  EXPECT_EQ(scaled(milliseconds(1)), milliseconds(1));
  EXPECT_EQ(scaled(milliseconds(0)), milliseconds(0));
  EXPECT_EQ(scaled(milliseconds(-5)), milliseconds(-5));
}

TEST(KNEnvTest, ATinyScaleStretchesDurationsWithoutOverflow) {
  ScopedEnv env("KN_TIME_SCALE", "1e-300");
  EXPECT_EQ(scaled(milliseconds(43'200'000)), milliseconds(10'000'000'000'000));
}

TEST(KNEnvTest, ExecutablePathPieces) {
  EXPECT_EQ(exeFolder() + exeName(), exePath());
  EXPECT_NE(std::string(kPathSeparators).find(exeFolder().back()), std::string::npos);
  EXPECT_TRUE(exeName() == "common_tests" || exeName() == "common_tests.exe") << exeName();
}

}  // namespace
}  // namespace kn
