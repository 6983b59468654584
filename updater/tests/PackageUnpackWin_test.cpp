// What Windows adds to an unpack: names it forbids or keeps for devices, letter case, long paths,
// and files a program still holds open. Real files under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "KNWinText.h"
#include "PackageUnpack.h"
#include "UpdaterTestSupport.h"

namespace kn {
namespace {

using namespace std::chrono_literals;
using test::readFile;
using test::writeFile;

class WinUnpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir / "app.exe", "old app");
    writeFile(dir / "app.conf", "old conf");
  }
  std::string zip(const std::vector<test::ZipEntry>& entries) {
    test::makeZip(scratch / "p.zip", entries, kPackagePassword);
    return scratch / "p.zip";
  }
  // The error of a refused install, "" when it installed.
  std::string unpackError(const std::vector<test::ZipEntry>& entries, UnpackOptions options = {}) {
    try {
      unpackPackage(zip(entries), dir.path(), kPackagePassword, options);
    } catch (const EZipError& e) {
      return e.what();
    }
    return "";
  }
  // The old files whole, nothing else in the folder but the log.
  void expectFolderAsItWas() {
    EXPECT_EQ("old app", readFile(dir / "app.exe"));
    EXPECT_EQ("old conf", readFile(dir / "app.conf"));
    for (const auto& e : test::fs::directory_iterator(dir.path())) {
      std::string name = e.path().filename().string();
      EXPECT_TRUE(name == "app.exe" || name == "app.conf" || name == "logs") << name;
    }
  }
  test::TempFolder dir;
  test::TempDir scratch;
};

TEST_F(WinUnpackTest, NamesWindowsForbidsOrKeepsForDevicesRefuseThePackage) {
  struct Case {
    const char* name;
    const char* says;
  };
  const Case refused[] = {
      {"CON", "device"},         {"nul.txt", "device"},   {"Aux", "device"},
      {"com1.dll", "device"},    {"LPT9", "device"},      {"con .txt", "device"},
      {"CONOUT$", "device"},     {"trailing.", "dot"},    {"trailing ", "blank"},
      {"app.exe:stream", "< >"}, {"what?.txt", "< >"},    {"a|b", "< >"},
      {"star*", "< >"},          {"q\"uote", "< >"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    std::string error = unpackError({{"app.exe", "new app"}, {c.name, "x"}});
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    expectFolderAsItWas();
  }
  // Names that only look like those.
  EXPECT_EQ("", unpackError({{"CONFIG.SYS", "c"}, {"com10", "c"}, {"nullable.dll", "n"}, {"LPT0", "l"}}));
  EXPECT_EQ("n", readFile(dir / "nullable.dll"));
}

TEST_F(WinUnpackTest, NamesDifferingOnlyInLetterCaseAreOneFileAndTheLaterWins) {
  EXPECT_EQ("", unpackError({{"APP.EXE", "first"}, {"bin/App.Exe", "second"}}));
  EXPECT_EQ("second", readFile(dir / "app.exe"));
  size_t files = 0;
  for (const auto& e : test::fs::directory_iterator(dir.path())) files += e.is_regular_file();
  EXPECT_EQ(2u, files);  // app.exe and app.conf, no leftover
}

TEST_F(WinUnpackTest, TheUpdatersOwnFilesAreRefusedInAnyLetterCase) {
  UnpackOptions options;
  options.keepOut = {"svcupdater.exe", "svcupdater.execonfig"};
  std::string error = unpackError({{"app.exe", "new app"}, {"bin/SvcUpdater.EXE", "evil"}}, options);
  EXPECT_NE(error.find("belongs to the updater itself"), std::string::npos) << error;
  expectFolderAsItWas();
}

TEST_F(WinUnpackTest, PathsPastMaxPathInstallAndOverlongNamesAreRefused) {
  std::string deep = dir.path();
  while (deep.size() < MAX_PATH + 20) deep += std::string(40, 'd') + "\\";
  os().makeFolder(deep, 0755);
  std::string name = std::string(200, 'n') + ".dll";
  unpackPackage(zip({{name, "long"}}), deep, kPackagePassword);
  EXPECT_EQ("long", os().readFile(deep + name, 100));
  std::string error = unpackError({{std::string(256, 'x'), "too long"}});
  EXPECT_NE(error.find("longer than the file system allows"), std::string::npos) << error;
}

// A handle that keeps a file from being replaced, as a program that has not quite exited holds it.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path)
      : h_(::CreateFileW(win::widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldOpen() { release(); }
  bool held() const { return h_ != INVALID_HANDLE_VALUE; }
  void release() {
    if (held()) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

TEST_F(WinUnpackTest, AFileStillHeldOpenIsWaitedForABoundedTimeThenNothingIsReplaced) {
  HeldOpen app(dir / "app.exe");
  ASSERT_TRUE(app.held());
  UnpackOptions options;
  options.inUseWait = 300ms;
  auto start = std::chrono::steady_clock::now();
  std::string error = unpackError({{"app.conf", "new conf"}, {"app.exe", "new app"}, {"new.txt", "n"}}, options);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_NE(error.find("Cannot replace app.exe: another program still holds it open"), std::string::npos) << error;
  app.release();
  expectFolderAsItWas();
}

TEST_F(WinUnpackTest, AFileReleasedWhileWaitedForIsReplaced) {
  HeldOpen app(dir / "app.exe");
  ASSERT_TRUE(app.held());
  std::thread releaser([&] {
    std::this_thread::sleep_for(200ms);
    app.release();
  });
  UnpackOptions options;
  options.inUseWait = 10s;
  std::string error = unpackError({{"app.exe", "new app"}, {"app.conf", "new conf"}}, options);
  releaser.join();
  EXPECT_EQ("", error);
  EXPECT_EQ("new app", readFile(dir / "app.exe"));
  EXPECT_EQ("new conf", readFile(dir / "app.conf"));
}

}  // namespace
}  // namespace kn
