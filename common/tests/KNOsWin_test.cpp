// The OS seam's Windows half against the real system (under Wine).
#include <gtest/gtest.h>

#include <chrono>

#include "KNOs.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

// A program that leaves behind a process holding its output (here a program of the host, which no
// job of Windows can end) does not keep the caller waiting once the program itself has ended.
TEST(KNOsWinTest, AProgramsLeftoverHoldingItsOutputDoesNotKeepTheCallerWaiting) {
  auto start = std::chrono::steady_clock::now();
  ProgramResult r = os().runProgram({.argv = {"cmd.exe", "/c", "echo before& start /unix /bin/sleep 8"}, .timeout = 20s});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);  // the leftover lives 8 s
  EXPECT_TRUE(r.exitedWith(0)) << static_cast<int>(r.end) << " " << r.exitCode;
  EXPECT_EQ("before\r\n", r.output);
}

}  // namespace
}  // namespace kn
