// The unpack when the system fails it: a full disk, a refused file, a refused rename, a stop and a
// kill between the renames. Packages built with libzip, unpacked into a real folder through the
// real system, with chosen calls failing.
#include "PackageUnpack.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <set>

#include "InstallRecord.h"
#include "KNOsFaulty.h"
#include "UpdateStop.h"
#include "UpdaterTestSupport.h"

namespace kn {
namespace {

using test::FaultyOs;
using test::readFile;
using test::writeFile;

// The real system, with a look at every rename before it runs (its number, from 1): the hook may
// request a stop, throw or end the process there.
struct RenameWatch : FaultyOs {
  explicit RenameWatch(std::function<void(int)> hook) {
    before = [this, hook = std::move(hook)](Op op, const std::string&) {
      if (op == Op::Rename) hook(++renames);
    };
  }
  int renames = 0;
};

class UnpackFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir / "app", "old app");
    writeFile(dir / "app.conf", "old conf");
  }
  // A package of `names`, each file holding "new <name>".
  std::string package(const std::vector<std::string>& names) {
    std::vector<test::ZipEntry> entries;
    for (const auto& n : names) entries.push_back({n, "new " + n});
    test::makeZip(dir / "p.zip", entries, kPackagePassword);
    return dir / "p.zip";
  }
  // The folder as it was: the old files whole, nothing new, no temporary file.
  void expectOldFilesWhole() {
    EXPECT_EQ("old app", readFile(dir / "app"));
    EXPECT_EQ("old conf", readFile(dir / "app.conf"));
    for (const auto& e : test::fs::directory_iterator(dir.path()))
      EXPECT_TRUE(std::set<std::string>({"app", "app.conf", "p.zip", "logs", "record"})
                      .count(e.path().filename().string()))
          << e.path();
  }
  std::string unpackThrough(Os& sys, const std::vector<std::string>& names) {
    try {
      unpackPackage(package(names), dir.path(), kPackagePassword, {}, sys);
    } catch (const EZipError& e) {
      return e.what();
    }
    ADD_FAILURE() << "installed";
    return "";
  }
  test::TempFolder dir;
};

// Whatever fails, while the files are written or while they are put in place, the folder holds
// what it held before.
TEST_F(UnpackFaultTest, AFailingSystemLeavesTheOldFilesWhole) {
  struct Case {
    const char* what;
    FaultyOs::Op op;
    int error;
    int after;
    std::vector<std::string> names;
    const char* message;
  } cases[] = {
      {"the disk fills up on the second file", FaultyOs::Op::Append, kOSErrors.diskFull, 1,
       {"app", "app.conf"}, "Cannot write file"},
      {"the first write is refused", FaultyOs::Op::Append, kOSErrors.accessDenied, 0,
       {"app"}, "Cannot write file"},
      // The new file is in place when the replacement of "app" is refused: it is removed again.
      {"the second rename is refused", FaultyOs::Op::Rename, kOSErrors.accessDenied, 1,
       {"new.txt", "app"}, "nothing was replaced, the 1 file(s) already replaced were put back"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FaultyOs sys;
    sys.fail(c.op, dir.path(), c.error, c.after);
    std::string message = unpackThrough(sys, c.names);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_NE(message.find(os().errorText(c.error)), std::string::npos) << message;
    EXPECT_EQ(1, sys.failures());
    test::fs::remove(dir / "p.zip");
    expectOldFilesWhole();
  }
}

// A replaced file kept under its second name is put back when a later rename fails.
TEST_F(UnpackFaultTest, AFailedRenamePutsBackWhatWasReplaced) {
  RenameWatch sys([](int n) {
    if (n == 2) throwOSError("Cannot rename", kOSErrors.accessDenied);
  });
  std::string message = unpackThrough(sys, {"app", "new.txt", "app.conf"});
  EXPECT_NE(message.find("nothing was replaced, the 1 file(s) already replaced were put back"), std::string::npos)
      << message;
  test::fs::remove(dir / "p.zip");
  expectOldFilesWhole();
}

// A stop is seen while the files are written, and between the renames, which are then undone.
TEST_F(UnpackFaultTest, AStopLeavesTheFolderAsItWas) {
  std::string zip = package({"app", "app.conf"});
  std::stop_source early;
  early.request_stop();
  EXPECT_THROW(PreparedPackage(zip, dir.path(), kPackagePassword, {.stop = early.get_token()}), EUpdateStopped);
  expectOldFilesWhole();

  std::stop_source late;
  RenameWatch sys([&](int) { late.request_stop(); });
  {
    PreparedPackage prepared(zip, dir.path(), kPackagePassword, {.stop = late.get_token()}, sys);
    EXPECT_THROW(prepared.install(), EUpdateStopped);
  }
  expectOldFilesWhole();
}

// A kill between two renames: the list of files taken just before lets the next start finish
// the install, every file whole.
TEST_F(UnpackFaultTest, AnInstallKilledBetweenRenamesIsFinishedFromItsList) {
  std::string zip = package({"app", "app.conf", "new.txt"});
  std::string record = dir / "record";
  // The dying child installs into this test's folder. On Windows it is this program run afresh,
  // with a fixture of its own: it finds the folder in the environment it inherits.
  const char* inherited = std::getenv("KN_TEST_KILLED_INSTALL");
  test::ScopedEnv folderForChild("KN_TEST_KILLED_INSTALL", inherited ? inherited : dir.path());
  EXPECT_EXIT(
      {
        const std::string folder = std::getenv("KN_TEST_KILLED_INSTALL");
        RenameWatch sys([](int n) {
          if (n == 2) std::_Exit(3);
        });
        PreparedPackage(zip, folder, kPackagePassword, {}, sys)
            .install([&](const std::vector<StagedFile>& files) {
              writeInstallRecord(folder + "record", {"app", {"svc"}, files});
            });
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EQ("new app", readFile(dir / "app"));
  EXPECT_EQ("old conf", readFile(dir / "app.conf"));
  InstallRecord r = parseInstallRecord(readFile(record));
  ASSERT_EQ(3u, r.files.size());
  EXPECT_EQ((std::vector<std::string>{"svc"}), r.services);
  EXPECT_EQ(2, finishStagedInstall(dir.path(), r.files));
  EXPECT_EQ("new app", readFile(dir / "app"));
  EXPECT_EQ("new app.conf", readFile(dir / "app.conf"));
  EXPECT_EQ("new new.txt", readFile(dir / "new.txt"));
  for (const auto& e : test::fs::directory_iterator(dir.path()))
    EXPECT_FALSE(isUnpackTempName(e.path().filename().string())) << e.path();
}

TEST(InstallRecordTest, NamesOfAnyBytesReadBack) {
  InstallRecord r{
      "a\tb%", {"svc\n1", "s2"}, {{"x\ty", ".kn-AAAAAA", ""}, {"%41", ".kn-BBBBBB", ".kn-CCCCCC"}}};
  InstallRecord back = parseInstallRecord(formatInstallRecord(r));
  EXPECT_EQ(r.exename, back.exename);
  EXPECT_EQ(r.services, back.services);
  ASSERT_EQ(2u, back.files.size());
  EXPECT_EQ("x\ty", back.files[0].target);
  EXPECT_EQ("%41", back.files[1].target);
  EXPECT_EQ(".kn-CCCCCC", back.files[1].backup);
  std::string cut = formatInstallRecord(r);
  cut.pop_back();  // a last line not written whole is not read
  EXPECT_EQ(1u, parseInstallRecord(cut).files.size());
}

}  // namespace
}  // namespace kn
