#include "KNServiceControl.h"

#include "KNServiceControlFake.h"
#include "KNTestTempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs the system service control against a shell script standing in for systemctl. The script
// logs its argument vector as "[arg][arg]..." lines to calls.log and then runs the test's body.
class SystemctlTest : public ::testing::Test {
 protected:
  void script(const std::string& body) {
    const std::string path = dir_ / "systemctl";
    std::ofstream(path) << "#!/bin/sh\n"
                        << "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> '" << dir_.path()
                        << "/calls.log'\n"
                        << "echo >> '" << dir_.path() << "/calls.log'\n"
                        << body << "\n";
    chmod(path.c_str(), 0755);
  }

  // A script that answers `show` with these properties and exits with `rc` for every command.
  void answering(const std::string& active, const std::string& load = "loaded", int rc = 0) {
    script("case \"$3\" in ActiveState) echo '" + active + "';; LoadState) echo '" + load +
           "';; esac\nexit " + std::to_string(rc));
  }

  std::vector<std::string> calls() {
    std::ifstream in(dir_ / "calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  test::TempDir dir_;
  test::ScopedEnv systemctl_{"KN_SYSTEMCTL", dir_ / "systemctl"};
  std::unique_ptr<IServiceControl> control_ = newSystemServiceControl();
};

TEST_F(SystemctlTest, MapsActiveStateToStateCodes) {
  struct Case {
    std::string active, load;
    int rc, expected;
  } cases[] = {
      {"active", "loaded", 0, kServiceRunning},
      {"reloading", "loaded", 0, kServiceRunning},
      {"activating", "loaded", 0, kServiceStartPending},
      {"deactivating", "loaded", 0, kServiceStopPending},
      {"inactive", "loaded", 0, kServiceStopped},
      {"inactive", "masked", 0, kServiceStopped},
      {"failed", "loaded", 0, kServiceStopped},
      {"inactive", "not-found", 0, kServiceUnknown},  // systemctl's answer for a unit it does not know
      {"maintenance", "loaded", 0, kServiceUnknown},
      {"", "loaded", 0, kServiceUnknown},
      {"active", "loaded", 1, kServiceUnknown},  // a failed run tells nothing
  };
  for (const auto& c : cases) {
    answering(c.active, c.load, c.rc);
    EXPECT_EQ(control_->queryState("app1"), c.expected) << c.active << " " << c.load << " " << c.rc;
  }
}

TEST_F(SystemctlTest, PassesTheNameAsOneArgumentWithoutAShell) {
  answering("inactive");
  const std::string name = "my app; touch '" + (dir_ / "pwned") + "' $(id)";
  EXPECT_EQ(control_->queryState(name), kServiceStopped);
  EXPECT_TRUE(control_->requestStop(name));
  EXPECT_TRUE(control_->requestStart(name));
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "[show][-p][ActiveState][--value][" + name + "]",
                         "[show][-p][LoadState][--value][" + name + "]",
                         "[stop][--no-block][" + name + "]",
                         "[start][--no-block][" + name + "]",
                     }));
  EXPECT_FALSE(fs::exists(dir_ / "pwned"));
}

TEST_F(SystemctlTest, RequestsAreAcceptedOnlyOnExitStatusZero) {
  answering("active", "loaded", 5);
  EXPECT_FALSE(control_->requestStop("app1"));
  EXPECT_FALSE(control_->requestStart("app1"));
  script("kill -9 $$");  // killed rather than exited
  EXPECT_FALSE(control_->requestStop("app1"));
  EXPECT_EQ(control_->queryState("app1"), kServiceUnknown);
}

TEST_F(SystemctlTest, NamesThatCouldPassForOptionsAreRefusedWithoutRunning) {
  answering("active");
  for (const std::string& name : std::vector<std::string>{"", "-h", "--all", "app\n--force", {"app\0x", 5}}) {
    EXPECT_EQ(control_->queryState(name), kServiceUnknown);
    EXPECT_FALSE(control_->requestStop(name));
    EXPECT_FALSE(control_->requestStart(name));
  }
  EXPECT_TRUE(calls().empty());
}

TEST_F(SystemctlTest, MissingOrUnusableProgramFailsQuietly) {
  setenv("KN_SYSTEMCTL", (dir_ / "no-such-program").c_str(), 1);
  EXPECT_EQ(control_->queryState("app1"), kServiceUnknown);
  EXPECT_FALSE(control_->requestStart("app1"));
  test::writeBytes(dir_ / "not-executable", "#!/bin/sh\necho active\n");
  setenv("KN_SYSTEMCTL", (dir_ / "not-executable").c_str(), 1);
  EXPECT_EQ(control_->queryState("app1"), kServiceUnknown);
  setenv("KN_SYSTEMCTL", "kn-no-such-program-on-path", 1);
  EXPECT_FALSE(control_->requestStop("app1"));
}

TEST_F(SystemctlTest, LongOutputIsDrainedAndCapped) {
  // Far more than a pipe holds: the program must not block on a full pipe, and only its start is kept.
  script("echo active; head -c 2000000 /dev/zero");
  EXPECT_EQ(control_->queryState("app1"), kServiceRunning);
}

TEST_F(SystemctlTest, AHangingProgramIsKilledAtTheTimeOut) {
  auto control = newSystemServiceControl(100ms);
  for (std::string body : {
           "echo active; sleep 30",                   // keeps its output open
           "echo active; exec >/dev/null; sleep 30",  // closes its output but does not exit
       }) {
    script(body);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(control->queryState("app1"), kServiceUnknown) << body;
    EXPECT_FALSE(control->requestStop("app1")) << body;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << body;
  }
}

TEST_F(SystemctlTest, LeavesNoDescriptorsOrChildrenBehind) {
  auto openFds = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  answering("inactive");
  control_->queryState("app1");  // any one-time descriptors are opened by now
  const auto before = openFds();
  for (int i = 0; i < 20; ++i) {
    control_->queryState("app1");
    control_->requestStart("app1");
  }
  EXPECT_EQ(openFds(), before);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left to reap
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(SystemctlTest, ProcessWideControlIsTheSystemsUnlessReplaced) {
  answering("active");
  EXPECT_EQ(serviceControl().queryState("app1"), kServiceRunning);
  FakeServiceControl fake;
  {
    ScopedServiceControl use(fake);
    EXPECT_EQ(serviceControl().queryState("app1"), kServiceUnknown);
    EXPECT_EQ(fake.calls(), std::vector<std::string>{"query app1"});
  }
  EXPECT_EQ(serviceControl().queryState("app1"), kServiceRunning);
}

TEST(FakeServiceControl, StopsAndStartsAfterScriptedPendingQueries) {
  FakeServiceControl fake;
  fake.addService("app1", {.state = kServiceRunning, .stopQueries = 2, .startQueries = 1});
  EXPECT_TRUE(fake.requestStop("app1"));
  std::vector<int> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(fake.queryState("app1"));
  EXPECT_EQ(seen, (std::vector<int>{3, 3, 1, 1}));
  EXPECT_TRUE(fake.requestStart("app1"));
  EXPECT_EQ(fake.queryState("app1"), kServiceStartPending);
  EXPECT_EQ(fake.queryState("app1"), kServiceRunning);
  EXPECT_EQ(fake.calls(), (std::vector<std::string>{"stop app1", "query app1", "query app1", "query app1",
                                                    "query app1", "start app1", "query app1", "query app1"}));
}

TEST(FakeServiceControl, NeverStoppingRefusingAndUnknownServices) {
  FakeServiceControl fake;
  fake.addService("stuck", {.state = kServiceRunning, .stopQueries = -1});
  fake.addService("refuses", {.state = kServiceStopped, .acceptStart = false});
  EXPECT_TRUE(fake.requestStop("stuck"));
  for (int i = 0; i < 25; ++i) ASSERT_EQ(fake.queryState("stuck"), kServiceStopPending);
  EXPECT_FALSE(fake.requestStart("refuses"));
  EXPECT_EQ(fake.state("refuses"), kServiceStopped);
  EXPECT_FALSE(fake.requestStop("nobody"));
  EXPECT_EQ(fake.queryState("nobody"), kServiceUnknown);
}

}  // namespace
}  // namespace kn
