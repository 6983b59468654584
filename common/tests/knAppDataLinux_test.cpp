// Application-data folders on Linux: /var/lib and the XDG folders, hidden as mode 0700, symbolic
// links in Temp removed and never followed.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "KNTempSysRoot.h"
#include "knAppData.h"
#include "knAppDataFolders.h"

namespace fs = std::filesystem;

namespace kn {
namespace {

using test::TempSysRoot;

TEST(AppDataLinux, ShellFoldersAreVarLibAndTheXdgFolders) {
  TempSysRoot root;
  EXPECT_EQ(shellFolder(ShellFolder::CommonAppData), root.path() + "/sys/var/lib");
  EXPECT_EQ(shellFolder(ShellFolder::LocalAppData), root.path() + "/home/.local/share");
  EXPECT_EQ(shellFolder(ShellFolder::RoamingAppData), root.path() + "/home/.config");
}

TEST(AppDataLinux, HiddenMeansOwnerOnly) {
  TempSysRoot root;
  TKNAppData d("Identity", "Kestrane", true, false);
  d.hideAppFolder();
  struct stat st {};
  ASSERT_EQ(::stat(d.appFolder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(AppDataLinux, TempLinksAreRemovedNeverFollowed) {
  TempSysRoot root;
  std::string temp = root.path() + "/sys/var/lib/Kestrane/App/Temp/";
  TempSysRoot::write(root.path() + "/outside/kept.txt", "must survive");
  fs::create_directories(temp + "sub");
  fs::create_symlink(root.path() + "/outside", temp + "sub/link-to-outside");
  {
    TKNAppData d("App", "Kestrane", true, false);
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp + "sub/link-to-outside")));
  }
  EXPECT_TRUE(fs::exists(root.path() + "/outside/kept.txt"));
}

}  // namespace
}  // namespace kn
