// The version reader on Windows: "FileVersion" of the VERSIONINFO resource that kn_package_note
// gives the programs built here, read back by GetFileVersionInfoW, and the files that have none.
#include "KNVersion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "KNOs.h"
#include "KNTestTempDir.h"
#include "KNWinText.h"

namespace kn {
namespace {

bool copyFile(const std::string& from, const std::string& to) {
  return ::CopyFileW(win::widePath(from).c_str(), win::widePath(to).c_str(), FALSE);
}

TEST(KNVersionWin, BuiltProgramsCarryTheirFileVersion) {
  EXPECT_EQ(ownVersion(), KN_PROJECT_VERSION);
  EXPECT_EQ(fileVersion(os().executablePath()), KN_PROJECT_VERSION);
  EXPECT_EQ(fileVersion(KN_TEST_SERVICE_PATH), KN_PROJECT_VERSION);

  // Under a name outside ASCII, in a folder with a blank.
  test::TempDir dir;
  const std::string copy = dir.path() + "/with blank/versi\xc3\xb3n.exe";
  ASSERT_TRUE(::CreateDirectoryW(win::widePath(dir.path() + "/with blank").c_str(), nullptr));
  ASSERT_TRUE(copyFile(KN_TEST_SERVICE_PATH, copy));
  EXPECT_EQ(fileVersion(copy), KN_PROJECT_VERSION);
}

TEST(KNVersionWin, FilesWithoutAReadableVersionAreUnreadable) {
  test::TempDir dir;
  test::writeBytes(dir / "notes.txt", "FileVersion 9.9.9.9\r\n");
  std::string program = test::readBytes(KN_TEST_SERVICE_PATH);
  ASSERT_GT(program.size(), 4096u);
  test::writeBytes(dir / "truncated.exe", program.substr(0, 4096));  // the headers, no resources
  test::writeBytes(dir / "empty.exe", "");
  for (const std::string& path : {std::string(KN_TEST_PLAIN_PROGRAM_PATH), dir / "notes.txt",
                                  dir / "truncated.exe", dir / "empty.exe", dir / "missing.exe", dir.path()})
    EXPECT_EQ(fileVersion(path), "0.0.0.0") << path;
}

}  // namespace
}  // namespace kn
