#include "knAppData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "KNException.h"
#include "KNTempSysRoot.h"
#include "knAppDataFolders.h"

namespace fs = std::filesystem;

namespace kn {
namespace {

using test::TempSysRoot;

class AppData : public ::testing::Test {
 protected:
  void TearDown() override { releaseAppData(); }
  TempSysRoot root;
};

TEST_F(AppData, FoldersFollowTheFlags) {
  struct Case {
    bool common, local;
    std::string base;
  } cases[] = {
      {true, false, shellFolder(ShellFolder::CommonAppData)},
      {false, true, shellFolder(ShellFolder::LocalAppData)},
      {false, false, shellFolder(ShellFolder::RoamingAppData)},
  };
  for (const auto& c : cases) {
    TKNAppData d("ZARODIRazev", "Kestrane", c.common, c.local);
    EXPECT_EQ(d.appFolder, c.base + "/Kestrane/ZARODIRazev/");
    EXPECT_EQ(d.tempFolder, d.appFolder + "Temp/");
    EXPECT_EQ(d.logfolder, d.appFolder + "Logs/");
    EXPECT_TRUE(fs::is_directory(d.tempFolder));
    EXPECT_TRUE(fs::is_directory(d.logfolder));
  }
}

TEST_F(AppData, BothFlagsAreRefusedBeforeAnythingIsCreated) {
  try {
    TKNAppData d("App", "Kestrane", true, true);
    ADD_FAILURE() << "both flags accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TKNAppData: cannot specify commonAppData and localAppData at the same time");
  }
  EXPECT_FALSE(fs::exists(root.path() + "/sys"));
  EXPECT_FALSE(fs::exists(root.path() + "/home"));
}

TEST_F(AppData, TempIsEmptiedOnCreateAndDestroyKeepingFolders) {
  std::string temp = shellFolder(ShellFolder::CommonAppData) + "/Kestrane/App/Temp/";
  std::string outside = root.path() + "/outside.txt";
  TempSysRoot::write(outside, "must survive");
  auto fill = [&] {
    TempSysRoot::write(temp + "a.json", "1");
    TempSysRoot::write(temp + "sub/deeper/b.txt", "2");
  };
  fill();
  {
    TKNAppData d("App", "Kestrane", true, false);
    EXPECT_FALSE(fs::exists(temp + "a.json"));
    EXPECT_FALSE(fs::exists(temp + "sub/deeper/b.txt"));
    EXPECT_TRUE(fs::is_directory(temp + "sub/deeper"));
    EXPECT_TRUE(fs::exists(outside));
    fill();
  }
  EXPECT_FALSE(fs::exists(temp + "a.json"));
  EXPECT_FALSE(fs::exists(temp + "sub/deeper/b.txt"));
  EXPECT_TRUE(fs::exists(outside));
}

TEST_F(AppData, InitReplacesTheProcessWideInstance) {
  EXPECT_EQ(appData(), nullptr);
  TKNAppData::Init("First", "Kestrane", true);
  std::string firstTemp = appData()->tempFolder;
  TempSysRoot::write(firstTemp + "left.tmp", "x");
  TKNAppData::Init("Second", "Kestrane", true);
  EXPECT_FALSE(fs::exists(firstTemp + "left.tmp"));
  EXPECT_EQ(appData()->appFolder, shellFolder(ShellFolder::CommonAppData) + "/Kestrane/Second/");
  EXPECT_EQ(appData()->subFolder, "Second");
  EXPECT_EQ(appData()->companyName, "Kestrane");
}

TEST_F(AppData, TempFileNamesAreNewAndUnique) {
  TKNAppData d("App", "Kestrane", false, true);
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    std::string name = d.getTempFN("json");
    ASSERT_EQ(name.rfind(d.tempFolder, 0), 0u) << name;
    ASSERT_TRUE(name.ends_with(".json")) << name;
    // yyyy-mm-dd-hh-nn-ss-zzz-r.json
    std::string base = name.substr(d.tempFolder.size());
    ASSERT_GE(base.size(), 30u) << base;
    EXPECT_EQ(base[4], '-');
    EXPECT_EQ(base[19], '-');
    EXPECT_FALSE(fs::exists(name));
    TempSysRoot::write(name, "");
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 50u);
}

}  // namespace
}  // namespace kn
