// The full audit in its own process: the real program as the audit child, and small shell programs
// for the ways a child can go wrong. The agent's main loop kills a stuck audit when it is stopped.
#include "AuditSupervisor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "ITAuditMain.h"
#include "KNClockFake.h"
#include "KNDateMath.h"
#include "KNLib.h"
#include "KNTestTempDir.h"
#include "agent_fixture.h"
#include "agent_machine.h"

namespace kn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

nlohmann::json readJson(const std::string& file) {
  std::ifstream in(file);
  return nlohmann::json::parse(in);
}

// This test program is not the agent: every audit it runs (the worker's, the main loop's) starts the
// real auditagent as its child.
const bool kChildIsTheAgent = (setAuditChildProgram(KN_AUDITAGENT_PATH), true);

std::vector<std::string> childCommand(const std::string& outfn) {
  return {KN_AUDITAGENT_PATH, kAuditChildSwitch, outfn};
}

// A machine of two files, with FIFOs where the script and the provider look for a login record,
// the shadow file and a rotated package log: reading any of them would wait for ever.
TEST(SupervisedAudit, TheChildAuditsAMachineWhoseFilesAreFifos) {
  test::TempDir root, out;
  put(root / "proc/sys/kernel/hostname", "fixturebox\n");
  put(root / "etc/os-release", "PRETTY_NAME=\"Fixture OS 1\"\nNAME=\"Fixture OS\"\nVERSION_ID=\"1\"\n");
  put(root / "etc/passwd", "ann:x:1000:1000::/home/ann:/bin/bash\n");
  for (const char* file : {"var/log/wtmp", "etc/shadow", "var/log/dpkg.log.1"}) {
    fs::create_directories((root / file).substr(0, (root / file).rfind('/')));
    ASSERT_EQ(::mkfifo((root / file).c_str(), 0600), 0) << file;
  }
  test::ScopedEnv auditRoot("KN_AUDIT_ROOT", root.path());
  const std::string outfn = out / "latest_audit.json";

  const SupervisedAuditStats stats = runSupervisedAudit(outfn, {childCommand(outfn)});
  const auto doc = readJson(outfn);
  EXPECT_EQ(doc["success"], true);
  const auto& audit = doc["rurirudoDUROVorov"];
  EXPECT_EQ(audit["MachineResume"][0]["hostname"], "fixturebox");
  EXPECT_EQ(audit["Users"][0]["name"], "ann");
  EXPECT_EQ(audit["Users"][0]["disabled"], "");  // the shadow file could not be read
  EXPECT_FALSE(fs::exists(outfn + ".xml"));
  EXPECT_GT(stats.peakRssKb, 0u);
}

// A class past its bound lists its first instances; the child's notice of the cut reaches the
// agent's main log.
TEST(SupervisedAudit, AClassPastItsBoundIsCutAndTheCutLogged) {
  test::AgentMachine machine;
  test::TempDir root, out;
  put(root / "proc/sys/kernel/hostname", "fixturebox\n");
  std::string environment;
  for (int i = 0; i <= 10000; ++i) environment += "V" + std::to_string(i) + "=x\n";
  put(root / "etc/environment", environment);
  test::ScopedEnv auditRoot("KN_AUDIT_ROOT", root.path());
  const std::string outfn = out / "latest_audit.json";

  runSupervisedAudit(outfn, {childCommand(outfn)});
  EXPECT_EQ(readJson(outfn)["rurirudoDUROVorov"]["EnvironmentDetail"].size(), 10000u);
  std::ifstream in(mainLogFile(), std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("Audit: Win32_Environment: more than 10000 instances; the first 10000 are listed\r\n"),
            std::string::npos)
      << log;
}

// The "ExtendedInventory" policy travels to the child on its command line: the agent reads the
// policy, the child reads no registry.
TEST(SupervisedAudit, TheChildLeavesOutTheExtendedInventoryWhenThePolicySaysSo) {
  test::TempDir root, out;
  put(root / "proc/sys/kernel/hostname", "fixturebox\n");
  test::ScopedEnv auditRoot("KN_AUDIT_ROOT", root.path());
  const std::string outfn = out / "latest_audit.json";
  for (bool extended : {true, false}) {
    SCOPED_TRACE(extended);
    SupervisedAuditOptions options;
    options.extendedInventory = extended;
    runSupervisedAudit(outfn, options);
    const auto audit = readJson(outfn)["rurirudoDUROVorov"];
    EXPECT_EQ(audit.contains("PnPEntityDetail"), extended);
    EXPECT_EQ(audit.contains("DiskPartitionDetail"), extended);
    EXPECT_TRUE(audit.contains("ProductDetail"));
  }
}

// KN_SYSROOT places the agent's own files only: the audit describes the machine it runs on, and a
// root holding no machine is an audit failure rather than an empty success.
TEST(SupervisedAudit, TheAgentsRootDoesNotMoveTheAuditedMachine) {
  test::TempDir sysroot, empty, out;
  test::ScopedEnv agentRoot("KN_SYSROOT", sysroot.path());
  const std::string outfn = out / "latest_audit.json";
  {
    test::ScopedEnv auditRoot("KN_AUDIT_ROOT", std::nullopt);
    runSupervisedAudit(outfn, {childCommand(outfn)});
    utsname name{};
    ::uname(&name);
    std::string host = name.nodename;
    host = lowerAscii(host.substr(0, host.find('.')));
    const auto audit = readJson(outfn)["rurirudoDUROVorov"];
    EXPECT_EQ(audit["MachineResume"][0]["hostname"], host);
    EXPECT_NE(audit["MachineResume"][0]["os_name"], "");
  }
  fs::remove(outfn);
  test::ScopedEnv auditRoot("KN_AUDIT_ROOT", empty.path());
  try {
    runSupervisedAudit(outfn, {childCommand(outfn)});
    FAIL() << "an empty machine passed for an audit";
  } catch (const EAuditProcess& e) {
    EXPECT_EQ(std::string(e.what()),
              "Fail: the audit found no facts of this machine (no host name, no operating system) below " +
                  empty.path());
  }
  EXPECT_FALSE(fs::exists(outfn));
}

TEST(SupervisedAudit, EveryWayTheChildEndsBecomesOneMessage) {
  test::TempDir out;
  const struct {
    std::vector<std::string> command;
    std::string message;
  } cases[] = {
      {{"/bin/sh", "-c", "printf 'Fail@doMethod2: Exception: boom\\n'; exit 1"},
       "Fail@doMethod2: Exception: boom"},
      {{"/bin/sh", "-c", "exit 3"}, "Fail: the audit process ended with exit code 3"},
      {{"/bin/sh", "-c", "kill -SEGV $$"}, "Fail: the audit process ended by signal 11 (Segmentation fault)"},
      {{"/bin/sh", "-c", "echo partial; kill -KILL $$"},
       "Fail: the audit process ended by signal 9 (Killed): partial"},
  };
  for (const auto& c : cases) {
    try {
      runSupervisedAudit(out / "a.json", {c.command});
      ADD_FAILURE() << c.message;
    } catch (const EAuditProcess& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_THROW(runSupervisedAudit(out / "a.json", {{"/nonexistent/auditagent"}}), EAuditProcess);
  EXPECT_NO_THROW(runSupervisedAudit(out / "a.json", {{"/bin/sh", "-c", "exit 0"}}));
}

// The real limit is 30 minutes; 200 ms here.
TEST(SupervisedAudit, AChildPastItsTimeLimitIsKilled) {
  test::TempDir out;
  const auto start = std::chrono::steady_clock::now();
  try {
    runSupervisedAudit(out / "a.json", {{"/bin/sh", "-c", "exec tail -f /dev/null"}, 200ms});
    FAIL() << "the stuck child was waited for";
  } catch (const EAuditProcess& e) {
    EXPECT_EQ(std::string(e.what()),
              "Fail: the audit ran longer than its time limit of 200 ms and was stopped");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// A stop of the service ends a stuck audit at once: the main loop's Terminate kills the child.
TEST(SupervisedAudit, StoppingTheMainLoopKillsAStuckAudit) {
  test::AgentMachine machine;
  test::FakePlatform platform;
  machine.connect(platform.url());
  test::ManualClock clock{encodeDateTimeParts(2024, 1, 15, 9, 0, 0, 0)};
  test::ScopedAppClock scopedClock{clock};
  std::atomic<bool> started{false};
  std::string failure;
  TITAuditMain::Options options{[] { return true; },
                                [&](const std::string& fn, TExt_ITAgent&) {
                                  started = true;
                                  try {
                                    runSupervisedAudit(fn, {{"/bin/sh", "-c", "exec tail -f /dev/null"}});
                                  } catch (const std::exception& e) {
                                    failure = e.what();
                                    throw;
                                  }
                                }};
  auto loop = std::make_unique<TITAuditMain>(options);
  loop->Start();
  // The manual clock runs the schedule to the audit check at once.
  for (int i = 0; i < 10000 && !started; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(started);
  std::this_thread::sleep_for(50ms);  // the child is running
  const auto start = std::chrono::steady_clock::now();
  loop.reset();  // Terminate, then wait for the loop
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(failure, "Fail: the audit was stopped: the service is stopping");
  // A stop asked for while no audit runs changes nothing for the next one.
  cancelRunningAudit();
  EXPECT_NO_THROW(runSupervisedAudit(machine.pendingFile(), {{"/bin/sh", "-c", "exit 0"}}));
}

}  // namespace
}  // namespace kn
