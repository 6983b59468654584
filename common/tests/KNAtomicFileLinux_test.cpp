#include "KNAtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "KNException.h"
#include "KNTestTempDir.h"

namespace kn {
namespace fs = std::filesystem;

TEST(AtomicFile, ReplacesWholeFileWithMode) {
  fs::path dir = fs::temp_directory_path() / ("kn_atomic_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string file = (dir / "data.json").string();
  std::ofstream(file) << "old content that is longer";
  writeFileAtomic(file, "new", 0640);
  std::stringstream got;
  got << std::ifstream(file).rdbuf();
  EXPECT_EQ(got.str(), "new");
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temp left

  // A folder that does not exist: a clear error, nothing created.
  try {
    writeFileAtomic((dir / "missing" / "x").string(), "data");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
  }
  fs::remove_all(dir);
}

// Pieces are written in order, small ones gathered into blocks and large ones as they are: the file
// is their concatenation across every block boundary.
TEST(AtomicFile, PiecesMakeTheirConcatenation) {
  test::TempDir dir;
  const std::string file = dir.path() + "/doc.json";
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) texts.push_back(std::to_string(i) + ",");  // many small pieces
  texts.push_back(std::string(200 * 1024, 'L'));                           // one larger than a block
  texts.push_back(std::string(64 * 1024 - 1, 'e'));                         // one just under
  texts.push_back("end");
  std::vector<std::string_view> pieces(texts.begin(), texts.end());
  std::string joined;
  for (const std::string& t : texts) joined += t;
  writeFileAtomic(file, pieces, 0600);
  std::stringstream got;
  got << std::ifstream(file).rdbuf();
  EXPECT_EQ(got.str(), joined);
  writeFileAtomic(file, std::span<const std::string_view>(), 0600);
  EXPECT_EQ(fs::file_size(file), 0u);
}

namespace {

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string temporaryOf(const std::string& dir, const std::string& target) {
  for (const auto& name : namesIn(dir))
    if (name.starts_with(target + ".tmp-")) return name;
  return "";
}

// True when some process holds a lock on the file (probing takes and drops the lock).
bool isLocked(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return locked;
}

}  // namespace

TEST(AtomicFile, RemovesOnlyTheStaleTemporariesOfItsOwnTarget) {
  test::TempDir dir;
  const std::string target = dir / "latest_audit.json";
  const std::string big(8 << 20, 'x');

  // A writer in another process, stopped while it holds its temporary file, then killed.
  pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    try {
      for (;;) writeFileAtomic(target, big);
    } catch (...) {
    }
    ::_exit(1);
  }
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid <= 0) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reaper{writer};
  std::string live;
  for (int attempt = 0; attempt < 100000 && live.empty(); ++attempt) {
    if (temporaryOf(dir.path(), "latest_audit.json").empty()) {
      ::sched_yield();
      continue;
    }
    ::kill(writer, SIGSTOP);
    int status;
    ::waitpid(writer, &status, WUNTRACED);
    std::string name = temporaryOf(dir.path(), "latest_audit.json");
    if (!name.empty() && isLocked(dir / name)) {
      live = name;
    } else {
      ::kill(writer, SIGCONT);
    }
  }
  ASSERT_FALSE(live.empty()) << "the writer was never caught holding its temporary file";

  // Leftovers made by hand: the target's own, and others that are not its temporaries.
  for (const char* name : {"latest_audit.json.tmp-Ab12Cd", "latest_audit.json.tmp-Zz99zz",
                           "other.json.tmp-Ab12Cd", "latest_audit.json.tmp-toolong", "latest_audit.json.tmp"})
    test::writeBytes(dir / name, "stale");
  fs::create_directory(dir / "latest_audit.json.tmp-folder");

  writeFileAtomic(target, "first");
  std::set<std::string> expected = {"latest_audit.json",     live,
                                    "other.json.tmp-Ab12Cd", "latest_audit.json.tmp-toolong",
                                    "latest_audit.json.tmp", "latest_audit.json.tmp-folder"};
  EXPECT_EQ(namesIn(dir.path()), expected) << "the live writer's file stays, the stale ones go";

  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  reaper.pid = -1;
  writeFileAtomic(target, "second");
  expected.erase(live);
  EXPECT_EQ(namesIn(dir.path()), expected) << "the killed writer's file goes";
  EXPECT_EQ(test::readBytes(target), "second");
}

}  // namespace kn
