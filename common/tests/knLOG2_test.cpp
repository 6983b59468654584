#include "knLOG2.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "KNException.h"
#include "KNLib.h"
#include "KNTestTempDir.h"
#include "knLOG2TestFixture.h"

namespace kn {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::ScopedEnv;
using test::TempDir;
using test::writeBytes;
using test::KnLog2Test;

KN_DECLARE_EXCEPTION(ETestError, Exception);


TEST_F(KnLog2Test, NothingIsWrittenBeforeInit) {
  logMsg("early");
  logTo("TITAuditMain", "early");
  logObj("TX", this, "early");
  logException(ETestError("x"), "here");
  EXPECT_EQ(mainLogFile(), "");
  initLogAt(dir_.path(), "auditagent");
  EXPECT_EQ(readBytes(mainLogFile()), "");
  EXPECT_FALSE(fs::exists(namedLogFile("TITAuditMain")));
}

TEST_F(KnLog2Test, FileNamesCutTheLastThreeCharacters) {
  struct Case {
    const char* exe;
    const char* mainFile;
    const char* namedStem;
  } cases[] = {
      {"auditagent.exe", "auditagent.vlog", "auditagent."},
      {"auditagent", "auditagent.vlog", "auditagent."},  // as if it ended in ".exe"
      {"svcupdater", "svcupdater.vlog", "svcupdater."},
      {"tool.sh", "tool.sh.vlog", "tool.sh."},
      {"x", "x.vlog", "x."},
  };
  for (const auto& c : cases) {
    initLogAt(dir_.path() + "/", c.exe);
    EXPECT_EQ(logFolder(), dir_.path() + "/logs/");
    EXPECT_EQ(mainLogFile(), logs(c.mainFile));
    EXPECT_TRUE(fs::exists(mainLogFile())) << c.exe;  // created by the initialisation
    EXPECT_EQ(namedLogFile("TITAuditMain"),
              logs(std::string(c.namedStem) + "TITAuditMain." + today() + ".vlog"));
  }
}

TEST_F(KnLog2Test, LineFormats) {
  initLogAt(dir_.path(), "auditagent");
  logMsg("bare");
  logTo("", "empty name goes to the main file");
  logObj("TExtChannel", reinterpret_cast<const void*>(intptr_t{-4096}), "object line");
  logObj("TExtChannel", nullptr, "nobody");
  logException(ETestError(""), "startup");
  logException(std::runtime_error("plain"), "");
  EXPECT_EQ(readBytes(mainLogFile()),
            "bare\r\n"
            "empty name goes to the main file\r\n"
            "[TExtChannel @-4096] object line\r\n"
            "[nil] nobody\r\n"
            "--- EXCEPTION ---\r\nAn error ocurred in: startup\r\nclass: ETestError\r\nmesg.: \r\n"
            "-----------------\r\n"
            "--- EXCEPTION ---\r\nAn error ocurred in: \r\nclass: std::runtime_error\r\nmesg.: plain\r\n"
            "-----------------\r\n");

  setLogTimestamps(true);
  logMsg("stamped");
  logTo("TITAuditMain", "named");
  setLogTimestamps(false);
  std::regex stamped(R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat) \d\d/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d  stamped\r\n)");
  std::string all = readBytes(mainLogFile());
  EXPECT_TRUE(std::regex_match(all.substr(all.rfind("\r\n", all.size() - 3) + 2), stamped)) << all;
  EXPECT_TRUE(std::regex_match(readBytes(namedLogFile("TITAuditMain")),
                               std::regex(R"(\w{3} [\d/]{8} [\d:.]{12}  named\r\n)")));
}

TEST_F(KnLog2Test, NamedFilesFollowTheLocalDateAndRecreateTheirFolder) {
  initLogAt(dir_.path(), "auditagent");
  std::string first, second;
  {
    ScopedEnv tz("TZ", "EAS-14");  // UTC+14: always a later date than UTC-12
    logTo("TITAuditWorker", "late");
    first = namedLogFile("TITAuditWorker");
  }
  fs::remove_all(dir_.path() + "/logs");
  {
    ScopedEnv tz("TZ", "WES+12");
    logTo("TITAuditWorker", "early");
    second = namedLogFile("TITAuditWorker");
  }
  EXPECT_NE(first, second);
  EXPECT_FALSE(fs::exists(first));  // removed with the folder
  EXPECT_EQ(readBytes(second), "early\r\n");

  logTo("../../escape", "kept inside");
  std::string escaped = namedLogFile("../../escape");
  EXPECT_EQ(fs::path(escaped).parent_path(), fs::path(logFolder()).parent_path());
  EXPECT_EQ(readBytes(escaped), "kept inside\r\n");
}

TEST_F(KnLog2Test, AgentCreatesTheMainFileOnlyOnce) {
  initLogAt(dir_.path(), "auditagent", LogStyle::Agent);
  fs::remove(mainLogFile());
  logMsg("lost");
  EXPECT_FALSE(fs::exists(mainLogFile()));

  // A main file that was already there at start was not created by this process: the first
  // write after its removal creates it once.
  resetLog();
  writeBytes(logs("auditagent.vlog"), "");
  initLogAt(dir_.path(), "auditagent", LogStyle::Agent);
  fs::remove(mainLogFile());
  logMsg("one");
  EXPECT_EQ(readBytes(mainLogFile()), "one\r\n");
  fs::remove(mainLogFile());
  logMsg("two");
  EXPECT_FALSE(fs::exists(mainLogFile()));
}

TEST_F(KnLog2Test, UpdaterCreatesTheMainFileOnlyAtInit) {
  initLogAt(dir_.path(), "svcupdater", LogStyle::Updater);
  logMsg("kept");
  fs::remove(mainLogFile());
  logMsg("lost");
  logTo("someapp", "named still works");
  EXPECT_FALSE(fs::exists(mainLogFile()));
  EXPECT_EQ(readBytes(namedLogFile("someapp")), "named still works\r\n");
  initLogAt(dir_.path(), "svcupdater", LogStyle::Updater);
  EXPECT_TRUE(fs::exists(mainLogFile()));
}

TEST_F(KnLog2Test, UnwritableTargetDropsTheLineQuietly) {
  initLogAt(dir_.path(), "auditagent");
  fs::remove(mainLogFile());
  fs::create_directory(mainLogFile());  // nothing can be appended to a folder
  EXPECT_NO_THROW(logMsg("dropped"));
  EXPECT_NO_THROW(logException(ETestError("x"), "y"));
  logTo("TITAuditMain", "others carry on");
  EXPECT_EQ(readBytes(namedLogFile("TITAuditMain")), "others carry on\r\n");
}

TEST_F(KnLog2Test, MainFilePastTheLimitMovesAside) {
  initLogAt(dir_.path(), "auditagent");
  std::string big(5'000'001, 'x');
  writeBytes(mainLogFile(), big);
  logTo("TITAuditMain", "any write checks the main file");
  EXPECT_EQ(readBytes(mainLogFile()), "");
  EXPECT_EQ(fs::file_size(mainLogFile() + ".old"), big.size());
  logMsg("fresh");
  EXPECT_EQ(readBytes(mainLogFile()), "fresh\r\n");

  writeBytes(mainLogFile(), std::string(5'000'000, 'y'));  // at the limit: kept
  logMsg("z");
  EXPECT_EQ(fs::file_size(mainLogFile()), 5'000'003u);
}

TEST_F(KnLog2Test, ConcurrentLinesAreNeitherLostNorMixed) {
  initLogAt(dir_.path(), "auditagent");
  setLogTimestamps(true);
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        logTo("shared", "thread " + std::to_string(t) + " line " + std::to_string(i));
        logMsg(std::string(100, static_cast<char>('a' + t)));
      }
    });
  for (auto& th : threads) th.join();
  std::string named = readBytes(namedLogFile("shared"));
  std::vector<std::string> lines = splitLines(named);
  ASSERT_EQ(lines.size(), size_t{kThreads * kLines});
  std::regex line(R"(\w{3} [\d/]{8} [\d:.]{12}  thread \d line \d+)");
  for (const auto& l : lines) ASSERT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_EQ(splitLines(readBytes(mainLogFile())).size(), size_t{kThreads * kLines});
}

TEST(LogSafe, EscapesControlCharactersAndCutsLongText) {
  struct Case {
    std::string in;
    size_t max;
    std::string out;
  } cases[] = {
      {"plain text", 1000, "plain text"},
      {"a\r\nFri 24/01/15 forged line", 1000, "a\\r\\nFri 24/01/15 forged line"},
      {std::string("esc\x1b[31mred\x00nul\x7f", 16), 1000, "esc\\x1b[31mred\\x00nul\\x7f"},
      {"tab\there \\ back", 1000, "tab\\there \\\\ back"},
      {"caf\xc3\xa9", 1000, "caf\xc3\xa9"},
      {"abcdef", 4, "abcd..."},
      {"abcd", 4, "abcd"},
  };
  for (const auto& c : cases) EXPECT_EQ(logSafe(c.in, c.max), c.out) << c.in;
  EXPECT_EQ(logSafe(std::string(50'000'000, '\n')).size(), 2003u);
}

}  // namespace
}  // namespace kn
