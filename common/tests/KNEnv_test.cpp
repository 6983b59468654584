#include "KNEnv.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

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

TEST(KNEnvTest, HomeAndXdgFolders) {
  {
    ScopedEnv home("HOME", "/home/tester");
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv data("XDG_DATA_HOME", "");
    EXPECT_EQ(homeDir(), "/home/tester");
    EXPECT_EQ(xdgConfigHome(), "/home/tester/.config");
    EXPECT_EQ(xdgDataHome(), "/home/tester/.local/share");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
    ScopedEnv data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(xdgConfigHome(), "/cfg");
    EXPECT_EQ(xdgDataHome(), "/data");
  }
  {
    ScopedEnv home("HOME", std::nullopt);  // a system service: the passwd entry answers
    passwd* pw = ::getpwuid(::getuid());
    EXPECT_EQ(homeDir(), pw ? pw->pw_dir : "/");
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
  EXPECT_EQ(exeFolder().back(), '/');
  EXPECT_EQ(exeName(), "common_tests");
}

}  // namespace
}  // namespace kn
