// The OS seam on Linux: what only a POSIX system can plant or do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "KNNameValueList.h"
#include "KNOs.h"
#include "KNTestTempDir.h"

namespace kn {
namespace {

using std::chrono::milliseconds;
using test::TempDir;

TEST(KNOsLinuxTest, AFifoInPlaceOfAFileIsRefusedWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "endpoint.ini").c_str(), 0600), 0);  // no writer: reading it would hang
  try {
    os().readFile(dir / "endpoint.ini", 100);
    ADD_FAILURE() << "a FIFO was read";
  } catch (const EOSError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot read file \"" + (dir / "endpoint.ini") + "\". It is not a regular file");
  }
  TNameValueList list;
  list.loadFromText("keep=1");
  EXPECT_THROW(list.loadFromFile(dir / "endpoint.ini"), Exception);
  EXPECT_EQ(list.value("keep"), "1");
}

TEST(KNOsLinuxTest, ProgramsEndEveryWayTheyCan) {
  struct Case {
    std::vector<std::string> argv;
    ProgramResult::End end;
    int code;
    const char* output;
  } cases[] = {
      {{"sh", "-c", "printf out; printf err >&2; exit 3"}, ProgramResult::End::Exited, 3, "out"},
      {{"sh", "-c", "kill -9 $$"}, ProgramResult::End::Killed, 9, ""},
      {{"sh", "-c", "printf early; sleep 30 & sleep 30"}, ProgramResult::End::TimedOut, -1, "early"},
      {{"kn-no-such-program"}, ProgramResult::End::NotStarted, ENOENT, ""},
  };
  for (const Case& c : cases) {
    auto started = std::chrono::steady_clock::now();
    ProgramResult r = os().runProgram({.argv = c.argv, .timeout = milliseconds(300)});
    EXPECT_EQ(r.end, c.end) << c.argv.back();
    if (c.code >= 0) {
      EXPECT_EQ(r.exitCode, c.code) << c.argv.back();
    }
    EXPECT_EQ(r.output, c.output) << c.argv.back();
    // A time-out kills the whole group: the background sleep holds no pipe open past it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << c.argv.back();
  }
}

TEST(KNOsLinuxTest, OutputPastTheBoundIsReadAndDropped) {
  ProgramResult r = os().runProgram(
      {.argv = {"sh", "-c", "head -c 1000000 /dev/zero; exit 0"}, .timeout = std::chrono::seconds(20), .maxOutput = 10});
  EXPECT_TRUE(r.exitedWith(0));
  EXPECT_EQ(r.output.size(), 10u);
  EXPECT_TRUE(r.outputCut);
}

TEST(KNOsLinuxTest, TheExecutablePathIsTheRunningImage) {
  std::string path = os().executablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_TRUE(path.ends_with("/common_tests")) << path;
}

}  // namespace
}  // namespace kn
