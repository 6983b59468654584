// Application-data folders on Windows, against the shell: the known folders as SHGetKnownFolderPath
// gives them, the folders made below them (names outside ASCII too, as a user's profile folder
// can have) and the hidden attribute. Each test's folders sit below a maker's name of its own,
// removed at the end.
#include <shlobj.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "KNWinTestSupport.h"
#include "KNWinText.h"
#include "knAppData.h"
#include "knAppDataFolders.h"

namespace fs = std::filesystem;

namespace kn {
namespace {

std::string knownFolder(const KNOWNFOLDERID& id) {
  wchar_t* path = nullptr;
  std::string out;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path))) out = win::narrow(path);
  ::CoTaskMemFree(path);
  return out;
}

// The attributes of a UTF-8 path, INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD attributes(const std::string& path) { return ::GetFileAttributesW(win::widePath(path).c_str()); }

bool isFolder(const std::string& path) {
  DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

class AppDataWin : public ::testing::Test {
 protected:
  void TearDown() override {
    for (ShellFolder base :
         {ShellFolder::CommonAppData, ShellFolder::LocalAppData, ShellFolder::RoamingAppData}) {
      std::error_code ignored;
      fs::remove_all(fs::path(win::widePath(shellFolder(base) + "\\" + company_)), ignored);
    }
  }

  const std::string company_ = test::uniqueName("KnAppDataTest_");
  const std::string subFolder_ =
      "Gr\xc3\xbc\xc3\x9f"
      "e";  // "Grüße"
};

TEST_F(AppDataWin, FoldersAreMadeBelowTheShellsKnownFolders) {
  struct Case {
    ShellFolder which;
    const KNOWNFOLDERID& id;
    bool common, local;
  } cases[] = {
      {ShellFolder::CommonAppData, FOLDERID_ProgramData, true, false},
      {ShellFolder::LocalAppData, FOLDERID_LocalAppData, false, true},
      {ShellFolder::RoamingAppData, FOLDERID_RoamingAppData, false, false},
  };
  for (const Case& c : cases) {
    const std::string base = knownFolder(c.id);
    ASSERT_FALSE(base.empty());
    EXPECT_EQ(shellFolder(c.which), base);
    TKNAppData d(subFolder_, company_, c.common, c.local);
    EXPECT_EQ(d.appFolder, base + "/" + company_ + "/" + subFolder_ + "/");
    for (const std::string& folder : {d.appFolder, d.tempFolder, d.logfolder})
      EXPECT_TRUE(isFolder(folder)) << folder;
    // Made under their own names, not a reading of the UTF-8 bytes in some code page.
    EXPECT_TRUE(isFolder(base + "\\" + company_ +
                         "\\Gr\xc3\xbc\xc3\x9f"
                         "e\\Temp"))
        << base;
  }
}

TEST_F(AppDataWin, TempIsEmptiedUnderANameOutsideAscii) {
  std::string file;
  {
    TKNAppData d(subFolder_, company_, true, false);
    file = d.getTempFN("json");
    HANDLE h = ::CreateFileW(win::widePath(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << file;
    ::CloseHandle(h);
    EXPECT_NE(attributes(file), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(d.getTempFN("json"), file);  // an existing name is never handed out
  }
  EXPECT_EQ(attributes(file), INVALID_FILE_ATTRIBUTES) << "left in Temp: " << file;
}

TEST_F(AppDataWin, HiddenIsTheHiddenAttributeOfTheAppFolderAlone) {
  TKNAppData d(subFolder_, company_, true, false);
  EXPECT_FALSE(attributes(d.appFolder) & FILE_ATTRIBUTE_HIDDEN);
  d.hideAppFolder();
  d.hideAppFolder();  // twice: the same
  DWORD a = attributes(d.appFolder);
  ASSERT_NE(a, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(a & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(a & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(attributes(d.tempFolder) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(attributes(shellFolder(ShellFolder::CommonAppData) + "\\" + company_) & FILE_ATTRIBUTE_HIDDEN);

  const std::string missing = d.appFolder + "Missing";
  hideFolder(missing);  // nothing there: nothing made
  EXPECT_EQ(attributes(missing), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace kn
