// The audit child in its job object: a stand-in child (AuditTestChild.cpp) for the ways a child can
// end and for what it can tell of the job it runs in, and the real program for its command line.
// winsock2.h before windows.h: the loopback platform's server needs it so.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "AuditProcess.h"
#include "AuditSupervisor.h"
#include "ITAuditMain.h"
#include "KNClockFake.h"
#include "KNDateMath.h"
#include "KNPath.h"
#include "KNTestTempDir.h"
#include "KNWinTestSupport.h"
#include "KNWinText.h"
#include "agent_fixture.h"
#include "agent_machine.h"

namespace kn {
namespace {

using namespace std::chrono_literals;
using auditprocess::ChildEnd;

// The full Windows form of a path of the build ("/work/..." under Wine is a path of drive Z:).
std::string windowsPath(const std::string& path) {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetFullPathNameW(win::widePath(path).c_str(), MAX_PATH, buffer, nullptr);
  return win::narrow(std::wstring_view(buffer, n));
}

const std::string kChild = windowsPath(KN_AUDIT_TEST_CHILD_PATH);

// This test program is not the agent: every audit it runs without a command of its own (the
// worker's, the main loop's) starts the real auditagent as its child.
const bool kChildIsTheAgent = (setAuditChildProgram(windowsPath(KN_AUDITAGENT_PATH)), true);

std::vector<std::string> child(std::vector<std::string> steps) {
  steps.insert(steps.begin(), kChild);
  return steps;
}

ChildEnd run(const std::vector<std::string>& steps, std::chrono::milliseconds limit = 60s) {
  return auditprocess::runChild(kChild, child(steps), limit);
}

// The "name=value" lines of a child's report.
std::map<std::string, std::string> reportOf(const std::string& output) {
  std::map<std::string, std::string> values;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// The process id that a child wrote into `file`, once it is there.
DWORD pidIn(const std::string& file) {
  for (int tries = 0; tries < 1000; ++tries) {
    std::ifstream in(fsPath(file));
    DWORD pid = 0;
    if (in >> pid) return pid;
    std::this_thread::sleep_for(10ms);
  }
  return 0;
}

// True when the process `pid` has ended (or is no more) within `wait`.
bool endsWithin(DWORD pid, std::chrono::milliseconds wait) {
  HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return true;
  const bool ended = ::WaitForSingleObject(h, static_cast<DWORD>(wait.count())) == WAIT_OBJECT_0;
  if (!ended) ::TerminateProcess(h, 1);  // no leftover of a failed test
  ::CloseHandle(h);
  return ended;
}

TEST(SupervisedAuditWin, EveryWayTheChildEndsBecomesOneMessage) {
  test::TempDir out;
  const struct {
    std::vector<std::string> command;
    std::string message;
  } cases[] = {
      {child({"out:Fail@doMethod2: Exception: boom", "exit:1"}), "Fail@doMethod2: Exception: boom"},
      {child({"err:Fail: written to the error output", "exit:1"}), "Fail: written to the error output"},
      {child({"exit:3"}), "Fail: the audit process ended with exit code 3"},
      {child({"limit", "crash"}), "Fail: the audit process ended by signal 0xC0000005 (access violation)"},
      {child({"out:partial", "limit", "crash"}),
       "Fail: the audit process ended by signal 0xC0000005 (access violation): partial"},
      // The real program: its child switch seen, its command line refused.
      {{windowsPath(KN_AUDITAGENT_PATH), kAuditChildSwitch},
       "usage: " + windowsPath(KN_AUDITAGENT_PATH) + " --kn-audit-child <audit file> [--basic]"},
  };
  for (const auto& c : cases) {
    try {
      runSupervisedAudit(out / "a.json", {c.command});
      ADD_FAILURE() << c.message;
    } catch (const EAuditProcess& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  try {
    runSupervisedAudit(out / "a.json", {{out / "auditagent.exe", kAuditChildSwitch, out / "a.json"}});
    ADD_FAILURE() << "a program that does not exist was started";
  } catch (const EAuditProcess& e) {
    EXPECT_EQ(std::string(e.what()), "Fail: cannot start the audit process " + out / "auditagent.exe" + ": " +
                                         win::errorText(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_NO_THROW(runSupervisedAudit(out / "a.json", {child({"out:a notice", "exit:0"})}));
}

TEST(SupervisedAuditWin, ACrashIsNamedByItsExceptionCode) {
  EXPECT_EQ(auditprocess::signalText(static_cast<int>(0xC00000FDu)), "0xC00000FD (stack overflow)");
  EXPECT_EQ(auditprocess::signalText(static_cast<int>(0xC0001234u)), "0xC0001234");
  const ChildEnd end = run({"limit", "crash"});
  EXPECT_EQ(end.how, ChildEnd::How::Signalled);
  EXPECT_EQ(static_cast<DWORD>(end.code), 0xC0000005u);
}

// The arguments reach the child as they were, whatever they hold, and it reads them in UTF-8; the
// real program names itself in UTF-8 too, from a folder outside the 8-bit code page.
TEST(SupervisedAuditWin, ArgumentsTravelInUtf8) {
  const std::vector<std::string> odd = {"Prüfung €", "a \"quoted\" word", "ends\\", "two\\\\\"",
                                        "",          "tab\there"};
  std::vector<std::string> steps = {kAuditChildSwitch, "report"};
  steps.insert(steps.end(), odd.begin(), odd.end());
  const ChildEnd end = run(steps);
  ASSERT_EQ(end.how, ChildEnd::How::Exited) << end.output;
  const auto report = reportOf(end.output);
  EXPECT_EQ(report.at("child"), "1");
  for (size_t i = 0; i < odd.size(); ++i) EXPECT_EQ(report.at("arg" + std::to_string(i + 3)), odd[i]);
  EXPECT_EQ(reportOf(run({"report"}).output).at("child"), "0");

  test::TempDir dir;
  const std::string folder = dir / "Überwachung ∑";
  std::filesystem::create_directories(fsPath(folder));
  const std::string program = windowsPath(folder + "/auditagent.exe");
  std::filesystem::copy_file(fsPath(windowsPath(KN_AUDITAGENT_PATH)), fsPath(program));
  try {
    runSupervisedAudit(dir / "a.json", {{program, kAuditChildSwitch}});
    ADD_FAILURE() << "the usage was accepted";
  } catch (const EAuditProcess& e) {
    EXPECT_EQ(std::string(e.what()), "usage: " + program + " --kn-audit-child <audit file> [--basic]");
  }
}

// The child runs below normal priority, in a job, and what it needs for its peak memory and CPU time
// reaches the agent.
TEST(SupervisedAuditWin, TheChildRunsBelowNormalPriorityInAJob) {
  const ChildEnd end = run({"limit", "report", "commit:200", "pause:1500"});
  ASSERT_EQ(end.how, ChildEnd::How::Exited) << end.output;
  const auto report = reportOf(end.output);
  EXPECT_EQ(report.at("priority"), "0x4000");  // BELOW_NORMAL_PRIORITY_CLASS
  EXPECT_EQ(report.at("injob"), "1");
  EXPECT_EQ(report.at("committed"), "1");
  EXPECT_GE(end.stats.peakRssKb, 200u * 1024);
  EXPECT_GT(end.stats.cpu.count(), 0);
}

// The job's limits: it kills the child when its handle closes and ends it on an unhandled exception,
// and the child's committed memory is bounded. Wine keeps only the first of them (and tells none).
TEST(SupervisedAuditWin, TheJobBoundsTheChildsMemoryOnRealWindows) {
  if (test::runningUnderWine())
    GTEST_SKIP() << "Wine neither reports a job's limits nor holds a process to them";
  const ChildEnd end = run({"report", "commit:" + std::to_string((kAuditAddressSpaceLimit >> 20) + 64)});
  ASSERT_EQ(end.how, ChildEnd::How::Exited) << end.output;
  const auto report = reportOf(end.output);
  ASSERT_TRUE(report.contains("jobflags")) << end.output;
  const unsigned long flags = std::stoul(report.at("jobflags"), nullptr, 16);
  for (unsigned long flag : {JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION,
                             JOB_OBJECT_LIMIT_PROCESS_MEMORY})
    EXPECT_TRUE(flags & flag) << std::hex << flag;
  EXPECT_EQ(report.at("processmemory"), std::to_string(kAuditAddressSpaceLimit));
  EXPECT_EQ(report.at("committed"), "0");
}

// The agent ends in any way (here it is killed): its audit child ends with it.
TEST(SupervisedAuditWin, TheChildDiesWithItsSupervisor) {
  test::TempDir dir;
  const std::string pidFile = windowsPath(dir / "child.pid");
  std::wstring line = win::commandLine({kChild, "supervise:" + pidFile});
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));
  ::CloseHandle(pi.hThread);
  const DWORD pid = pidIn(pidFile);
  ::TerminateProcess(pi.hProcess, 1);
  ::CloseHandle(pi.hProcess);
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(endsWithin(pid, 5s));
}

// Nothing the child started outlives the run, even when the child itself ended well.
TEST(SupervisedAuditWin, WhatTheChildStartedEndsWithTheRun) {
  test::TempDir dir;
  const std::string pidFile = windowsPath(dir / "grandchild.pid");
  const ChildEnd end = run({"spawn:" + pidFile});
  EXPECT_EQ(end.how, ChildEnd::How::Exited);
  EXPECT_EQ(end.code, 0);
  const DWORD pid = pidIn(pidFile);
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(endsWithin(pid, 5s));
}

// The real limit is 30 minutes; here 3 seconds, time enough for Wine to start the child.
TEST(SupervisedAuditWin, AChildPastItsTimeLimitIsKilled) {
  test::TempDir dir;
  const std::string pidFile = windowsPath(dir / "child.pid");
  const auto start = std::chrono::steady_clock::now();
  try {
    runSupervisedAudit(dir / "a.json", {child({"pid:" + pidFile, "sleep"}), 3s});
    FAIL() << "the stuck child was waited for";
  } catch (const EAuditProcess& e) {
    EXPECT_EQ(std::string(e.what()),
              "Fail: the audit ran longer than its time limit of 3 seconds and was stopped");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  const DWORD pid = pidIn(pidFile);
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(endsWithin(pid, 0ms));
}

// However much the child writes, the run keeps the first kMaxOutput bytes and the child is not held
// up by a full pipe.
TEST(SupervisedAuditWin, TheChildsOutputIsBounded) {
  const ChildEnd end = run({"flood:1000000", "exit:0"});
  EXPECT_EQ(end.how, ChildEnd::How::Exited);
  EXPECT_EQ(end.output, std::string(auditprocess::kMaxOutput, 'x'));
}

// A stop of the service ends a stuck audit at once: the main loop's Terminate, on the service's
// thread, kills the child.
TEST(SupervisedAuditWin, StoppingTheMainLoopKillsAStuckAudit) {
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
                                    runSupervisedAudit(fn, {child({"sleep"})});
                                  } catch (const std::exception& e) {
                                    failure = e.what();
                                    throw;
                                  }
                                }};
  auto loop = std::make_unique<TITAuditMain>(options);
  loop->Start();
  for (int i = 0; i < 10000 && !started; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(started);
  std::this_thread::sleep_for(200ms);  // the child is running
  const auto start = std::chrono::steady_clock::now();
  loop.reset();  // Terminate, then wait for the loop
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(failure, "Fail: the audit was stopped: the service is stopping");
  // A stop asked for while no audit runs changes nothing for the next one.
  cancelRunningAudit();
  EXPECT_NO_THROW(runSupervisedAudit(machine.pendingFile(), {child({"exit:0"})}));
}

}  // namespace
}  // namespace kn
