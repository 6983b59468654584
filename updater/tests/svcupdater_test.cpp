// The real svcupdater program, copied into a temporary folder beside its configuration.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"
#include "WUServiceUpdater.h"

extern char** environ;

namespace kn {
namespace {

using namespace std::chrono_literals;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::fs::copy_file(KN_SVCUPDATER_PATH, dir / "svcupdater");
    test::fs::permissions(dir / "svcupdater", test::fs::perms(0755));
  }
  pid_t launch(std::vector<std::string> args = {}) {
    args.insert(args.begin(), dir / "svcupdater");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ));
    return pid;
  }
  int exitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string mainLog() { return test::readFile(dir / "logs/svcupdater.vlog"); }
  test::TempFolder dir;
};

TEST_F(ProgramTest, AnUnusableConfigurationEndsTheProcessWith255) {
  struct Case {
    const char* what;
    const char* text;  // nullptr: no file
    const char* message;
  } cases[] = {
      {"missing", nullptr, "mesg.: Config file not found ("},
      {"not JSON", "name=x", "mesg.: CF is nil"},
      {"no name", R"({"descr": "d", "services": []})", "mesg.: [name] missing"},
      {"bad name", R"({"name": "my updater", "descr": "d", "services": []})", "Invalid service name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove((dir / "svcupdaterconfig").c_str());
    std::remove((dir / "logs/svcupdater.vlog").c_str());
    if (c.text) test::writeFile(dir / "svcupdaterconfig", c.text);
    EXPECT_EQ(255, exitCode(launch({"/install"})));
    std::string log = mainLog();
    EXPECT_NE(log.find("--- EXCEPTION ---"), std::string::npos) << log;
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(std::string::npos, log.find("Installing")) << log;
  }
}

TEST_F(ProgramTest, UpdatesAnAppAndStopsOnSigterm) {
  test::UpdateServer server;
  test::EnvScope env{{{"KN_UPDATE_URL", server.base()}, {"KN_TIME_SCALE", "1000"}}};
  test::writeFile(dir / "app", "old", 0700);
  test::writeFile(
      dir / "svcupdaterconfig",
      R"({"name": "kSU_test", "descr": "d", "services": [{"exe": "app", "appid": "app1", "interval": 60}]})");
  std::atomic<bool> fetched{false};
  server.answer([&](auto&, auto&) { return fetched ? "version=0.0.0.0" : "version=1.2"; });
  server.package("app1", test::zipBytes({{"bin/app", "new"}}, kPackagePassword));

  pid_t pid = launch();
  ASSERT_TRUE(test::eventually([&] { return server.downloads("app1") == 1; }));
  fetched = true;
  ASSERT_TRUE(test::eventually([&] { return server.checks("app1") == 2; }));  // "UPDATED" now
  kill(pid, SIGTERM);
  EXPECT_EQ(0, exitCode(pid));

  EXPECT_EQ("new", test::readFile(dir / "app"));
  EXPECT_EQ(0700u, test::modeOf(dir / "app"));
  std::string log = mainLog();
  for (const char* line :
       {"Service name: kSU_test", "Application.Run..", "Service starting...", "Service started",
        "Service execution starting.", "Service execution terminated.", "Bye"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_LT(log.find("Service execution terminated."), log.find("Bye"));
  EXPECT_NE(dir.appLog("app").find("UPD: Installing update: OK, removed update file: OK"), std::string::npos);
}

}  // namespace
}  // namespace kn
