// KNLib on Linux: permission bits kept, symbolic links listed and never followed, POSIX time-zone
// rules.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "KNLib.h"
#include "KNTestTempDir.h"

namespace kn {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(KNLibLinuxTest, WriteTextFileKeepsThePermissionsOfTheFileItReplaces) {
  TempDir dir;
  std::string path = dir / "out.txt";
  writeTextFile(path, "a");
  ::chmod(path.c_str(), 0600);
  writeTextFile(path, "");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(KNLibLinuxTest, ListFilesListsALinkedFolderWithoutFollowingIt) {
  TempDir dir;
  std::filesystem::create_directories(dir / "sub.txt");
  test::writeBytes(dir / "sub.txt/x.bin", "");
  std::filesystem::create_directory_symlink(dir.path(), dir / "loop.txt");
  std::vector<std::string> list;
  listFiles(dir / "*.txt", list, true);
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{dir / "loop.txt", dir / "sub.txt/x.bin"}));
}

TEST(KNLibTest, CalendarTimeConversionsFollowTheLocalZone) {
  // Central European time with its daylight-saving rules, written out so no zone database is needed.
  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(toDateTime(0), encodeDateTimeParts(1970, 1, 1, 1, 0, 0, 0));
  std::time_t summer = 1'719'835'200;  // 2024-07-01 12:00 UTC
  EXPECT_EQ(toDateTime(summer), encodeDateTimeParts(2024, 7, 1, 14, 0, 0, 0));
  EXPECT_EQ(fromDateTime(encodeDateTimeParts(2024, 7, 1, 14, 0, 0, 0)), summer);
  EXPECT_EQ(fromDateTime(encodeDateTimeParts(2024, 7, 1, 14, 0, 0, 999)), summer);  // milliseconds dropped
  for (std::time_t t : {std::time_t{0}, std::time_t{1'700'000'000}, summer + 12345})
    EXPECT_EQ(fromDateTime(toDateTime(t)), t);

  double before = nowDateTime();
  double viaClock = toDateTime(std::time(nullptr));
  EXPECT_NEAR(before, viaClock, 2.0 / 86400);
}

}  // namespace
}  // namespace kn
