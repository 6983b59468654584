#include "KNEnvLinux.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "KNTestTempDir.h"

namespace kn {
namespace {

using test::ScopedEnv;

TEST(KNEnvLinuxTest, HomeAndXdgFolders) {
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

}  // namespace
}  // namespace kn
