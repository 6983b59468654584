// Packages made by Info-ZIP (the zip program) and crafted ones, unpacked into a real folder: Unix
// modes, owners and symbolic links in the archive and in the folder.
#include "PackageUnpack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace kn {
namespace {

using test::modeOf;
using test::readFile;
using test::run;
using test::writeFile;
using test::fs::exists;

struct Owner {
  uid_t uid;
  gid_t gid;
  bool operator==(const Owner&) const = default;
};
Owner ownerOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return {st.st_uid, st.st_gid};
}

class InfoZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir / "app", "old app", 0750);
    writeFile(dir / "app.conf", "old conf", 0600);
    ASSERT_EQ(0, ::chown((dir / "app.conf").c_str(), 65534, 65534));
    writeFile(dir / "real.txt", "real");
    src = dir / "src/";
    test::fs::create_directories(src + "bin");
    test::fs::create_directories(src + "etc");
  }
  // Makes `name` in the source folder with Info-ZIP's `zip` and the given options over `files`.
  std::string zip(const std::string& options, const std::string& files) {
    std::string out = dir / "p.zip";
    test::fs::remove(out);
    run("cd " + src + " && zip -q " + options + " " + out + " " + files);
    return out;
  }
  std::string unpack(const std::string& zipPath, std::uint64_t limit = kMaxUnpackedBytes) {
    std::string lines;
    UnpackOptions options;
    options.log = [&](const std::string& l) { lines += l + "\n"; };
    options.maxUnpacked = limit;
    unpackPackage(zipPath, dir.path(), kPackagePassword, options);
    return lines;
  }
  void expectOldFilesWhole() {
    EXPECT_EQ("old app", readFile(dir / "app"));
    EXPECT_EQ("old conf", readFile(dir / "app.conf"));
    EXPECT_EQ("real", readFile(dir / "real.txt"));
    for (const auto& e : test::fs::directory_iterator(dir.path()))  // nothing new, no temporary file
      EXPECT_TRUE(std::set<std::string>({"app", "app.conf", "real.txt", "src", "logs", "p.zip", "data"})
                      .count(e.path().filename().string()))
          << e.path();
  }
  test::TempFolder dir;
  std::string src;
};

TEST(UnpackModesTest, ReplacedFilesKeepTheirBitsAndNewOnesTakeTheArchivesWithoutSetIdOrOpenWrite) {
  test::TempFolder dir;
  writeFile(dir / "app", "old app", 0750);
  writeFile(dir / "app.conf", "old conf", 0640);
  test::makeZip(dir / "p.zip",
                {{"bin/app", "new app", 0755},
                 {"etc/app.conf", "new conf"},
                 {"new.txt", "new file", 0600},
                 {"deep/a/b/lib.so", "lib", 04755},
                 {"nomode", "n"},
                 {"open", "o", 0666}},
                kPackagePassword);
  unpackPackage(dir / "p.zip", dir.path(), kPackagePassword);
  EXPECT_EQ(0750u, modeOf(dir / "app"));  // a replaced file keeps its bits
  EXPECT_EQ(0640u, modeOf(dir / "app.conf"));
  EXPECT_EQ(0600u, modeOf(dir / "new.txt"));  // a new file takes the archive's bits
  EXPECT_EQ(0755u, modeOf(dir / "lib.so"));   // but never a set-id bit
  EXPECT_EQ(0644u, modeOf(dir / "nomode"));
  EXPECT_EQ(0644u, modeOf(dir / "open"));  // nor write access for others
}

TEST_F(InfoZipTest, PackagesInstallFlatKeepingOwnersAndSkippingLinks) {
  writeFile(src + "bin/app", "new app", 0755);
  writeFile(src + "etc/app.conf", "new conf", 0644);
  writeFile(src + "etc/new.txt", "new file", 0640);
  const std::string longName(250, 'n');  // with any suffix it would pass NAME_MAX
  writeFile(src + longName, "long");
  ASSERT_EQ(::symlink("/etc/shadow", (src + "etc/real.txt").c_str()), 0);
  for (const char* options : {"-r -y -P 4721", "-r -y"}) {
    SCOPED_TRACE(options);
    std::string lines = unpack(zip(options, "bin etc " + longName));
    EXPECT_EQ("new app", readFile(dir / "app"));
    EXPECT_EQ(0750u, modeOf(dir / "app"));
    EXPECT_EQ("new conf", readFile(dir / "app.conf"));
    EXPECT_EQ(0600u, modeOf(dir / "app.conf"));
    EXPECT_EQ((Owner{65534, 65534}), ownerOf(dir / "app.conf"));
    EXPECT_EQ("new file", readFile(dir / "new.txt"));
    EXPECT_EQ(0640u, modeOf(dir / "new.txt"));
    EXPECT_EQ("long", readFile(dir / longName));
    EXPECT_EQ("real", readFile(dir / "real.txt"));  // the link entry replaced nothing
    EXPECT_EQ("Skipped symbolic link etc/real.txt\n", lines);
    EXPECT_FALSE(exists(dir / "bin"));
    for (const auto& e : test::fs::directory_iterator(dir.path()))
      EXPECT_FALSE(isUnpackTempName(e.path().filename().string())) << e.path();
  }
}

// Sets the uncompressed size of the archive's only entry, in its local and central headers.
std::string understate(std::string zipData, uint32_t size) {
  auto put = [&](size_t at) {
    for (int i = 0; i < 4; ++i) zipData[at + i] = static_cast<char>((size >> (8 * i)) & 0xff);
  };
  size_t local = zipData.find("PK\x03\x04");
  size_t central = zipData.find("PK\x01\x02");
  EXPECT_EQ(0u, local);
  EXPECT_NE(std::string::npos, central);
  put(local + 22);
  put(central + 24);
  return zipData;
}

// The archive with the compression method of its first central-directory entry replaced.
std::string withCentralMethod(std::string zipData, std::uint16_t method) {
  size_t at = zipData.find(std::string("PK\x01\x02", 4));
  if (at == std::string::npos) return zipData;
  zipData[at + 10] = static_cast<char>(method & 0xff);
  zipData[at + 11] = static_cast<char>(method >> 8);
  return zipData;
}

TEST_F(InfoZipTest, HostilePackagesAreRefusedLeavingTheFolderAsItWas) {
  writeFile(src + "bin/app", "new app", 0755);
  writeFile(src + "big", std::string(2 << 20, '\0'));
  writeFile(src + "data", "a file named like a folder of ours");
  test::fs::create_directory(dir / "data");
  ASSERT_EQ(::symlink("app", (src + "bin/link").c_str()), 0);
  std::string big = readFile(zip("-P 4721", "big"));
  struct Case {
    const char* what;
    std::string bytes;
    std::uint64_t limit;
    const char* message;
  } cases[] = {
      {"understated size", understate(big, 1000), kMaxUnpackedBytes, "more data than its header declares"},
      {"a folder in the way", readFile(zip("-r", "bin/app data")), kMaxUnpackedBytes, "in the way"},
      {"over the size limit", readFile(zip("-r", "bin/app")), 6, "unpacks to more than 6 bytes"},
      {"only a link", readFile(zip("-y", "bin/link")), kMaxUnpackedBytes, "holds no file"},
      {"an unknown compression method", withCentralMethod(readFile(zip("-P 4721", "bin/app")), 0xffff),
       kMaxUnpackedBytes, "compression method that cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir / "p.zip", c.bytes);
    try {
      unpack(dir / "p.zip", c.limit);
      ADD_FAILURE() << "installed";
    } catch (const EZipError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    expectOldFilesWhole();
  }
  // Preparing, which runs before any service is touched, refuses the same packages.
  writeFile(dir / "p.zip", cases[1].bytes);
  EXPECT_THROW(PreparedPackage(dir / "p.zip", dir.path(), kPackagePassword), EZipError);
  writeFile(dir / "p.zip", cases[2].bytes);
  EXPECT_THROW(PreparedPackage(dir / "p.zip", dir.path(), kPackagePassword, {.maxUnpacked = 6}), EZipError);
  expectOldFilesWhole();
}

TEST_F(InfoZipTest, EntryCountsAreBoundedBeforeTheDirectoryIsLoaded) {
  for (const char* name : {"a", "b", "c", "d"}) writeFile(src + name, name);
  struct Case {
    const char* what;
    std::string bytes;
    std::uint64_t limit;
    const char* message;
  } cases[] = {
      {"four entries, three allowed", readFile(zip("", "a b c d")), 3, "holds more than 3 entries"},
      {"a million claimed", test::zipClaimingEntries(1000000), kMaxEntries, "holds more than 200000 entries"},
      {"zip64 end record with no entry", test::zipClaimingEntries(0), kMaxEntries, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir / "p.zip", c.bytes);
    try {
      PreparedPackage(dir / "p.zip", dir.path(), kPackagePassword, {.maxEntries = c.limit});
      ADD_FAILURE() << "accepted";
    } catch (const EZipError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    expectOldFilesWhole();
  }
}

TEST_F(InfoZipTest, TemporaryNamesAreReservedAndLeftoversRemoved) {
  writeFile(dir / ".kn-Ab12Cd", "left by a kill");
  writeFile(dir / ".kn-Ab12C", "not ours: too short");
  writeFile(dir / "x.kn-Ab12Cd", "not ours");
  test::fs::create_directory(dir / ".kn-Folder");
  EXPECT_EQ(1, removeUnpackLeftovers(dir.path()));
  EXPECT_FALSE(exists(dir / ".kn-Ab12Cd"));
  EXPECT_TRUE(exists(dir / ".kn-Ab12C") && exists(dir / "x.kn-Ab12Cd") && exists(dir / ".kn-Folder"));

  writeFile(src + ".kn-ZZZZZZ", "would be removed at the next start");
  writeFile(src + "app", "new app");
  EXPECT_EQ("Skipped entry with a reserved name .kn-ZZZZZZ\n", unpack(zip("", ".kn-ZZZZZZ app")));
  EXPECT_EQ("new app", readFile(dir / "app"));
  EXPECT_FALSE(exists(dir / ".kn-ZZZZZZ"));
}

}  // namespace
}  // namespace kn
