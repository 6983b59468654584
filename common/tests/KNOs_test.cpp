#include "KNOs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "KNOsFaulty.h"
#include "KNTestTempDir.h"

namespace kn {
namespace {

using test::TempDir;

TEST(KNOsTest, FilesAreCreatedOnceWrittenRenamedAndRemoved) {
  TempDir dir;
  Os& sys = os();
  sys.makeFolder(dir / "a/b/c", 0700);
  sys.makeFolder(dir / "a/b/c", 0700);  // already there: fine

  const std::string file = dir / "a/b/c/new.bin";
  auto out = sys.createFile(file, 0600);
  out->append("one ");
  out->append(std::string(100000, 'x'));
  out->sync();
  out->close();
  out->close();  // idempotent
  EXPECT_EQ(test::readBytes(file).size(), 100004u);
  EXPECT_THROW(sys.createFile(file, 0600), EOSError);  // never over an existing file

  sys.renamePath(file, dir / "a/moved.bin");
  EXPECT_EQ(sys.readFile(dir / "a/moved.bin", 1 << 20).substr(0, 4), "one ");
  EXPECT_TRUE(sys.removePath(dir / "a/moved.bin"));
  EXPECT_FALSE(sys.removePath(dir / "a/moved.bin"));

  std::vector<FolderEntry> entries = sys.listFolder(dir / "a");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "b");
  EXPECT_EQ(entries[0].kind, EntryKind::Folder);
  EXPECT_TRUE(sys.listFolder(dir / "missing").empty());
}

TEST(KNOsTest, ReadsAreBoundedAndFailuresNameTheFile) {
  TempDir dir;
  test::writeBytes(dir / "f", "12345");
  EXPECT_EQ(os().readFile(dir / "f", 5), "12345");
  try {
    os().readFile(dir / "f", 4);
    ADD_FAILURE() << "a file past its bound was read";
  } catch (const EOSError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot read file \"" + (dir / "f") + "\". It is larger than 4 bytes");
  }
  try {
    os().readFile(dir / "none", 4);
    ADD_FAILURE() << "a missing file was read";
  } catch (const EOSError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + (dir / "none") + "\". " +
                                         os().errorText(kOSErrors.notFound));
  }
  EXPECT_THROW(os().readFile(dir.path(), 4), EOSError);  // a folder is no regular file
}

TEST(KNOsTest, ALockIsExclusiveUntilReleased) {
  TempDir dir;
  FileLock first = os().lockFile(dir / "x.lock", LockWait::Try);
  ASSERT_TRUE(first.held());
  EXPECT_FALSE(os().lockFile(dir / "x.lock", LockWait::Try).held());
  FileLock moved = std::move(first);
  EXPECT_FALSE(first.held());
  moved.release();
  EXPECT_TRUE(os().lockFile(dir / "x.lock", LockWait::Try).held());
}

TEST(KNOsTest, RandomBytesAreNotAllAlike) {
  std::vector<std::uint8_t> a(32), b(32);
  os().randomBytes(a);
  os().randomBytes(b);
  EXPECT_NE(a, b);
}

TEST(KNOsTest, TheFaultySeamFailsOnlyWhatItIsToldAfterItsAllowance) {
  TempDir dir;
  test::FaultyOs sys;
  sys.fail(test::FaultyOs::Op::Append, "victim", kOSErrors.diskFull, 2);
  writeFileWhole(sys, dir / "other", "fine");
  auto out = sys.createFile(dir / "victim", 0600);
  out->append("a");
  out->append("b");
  try {
    out->append("c");
    ADD_FAILURE() << "the third append went through";
  } catch (const EOSError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot write file \"" + (dir / "victim") + "\". " +
                                         os().errorText(kOSErrors.diskFull));
  }
  out->close();
  EXPECT_EQ(test::readBytes(dir / "victim"), "ab");
  EXPECT_EQ(sys.failures(), 1);
}

}  // namespace
}  // namespace kn
