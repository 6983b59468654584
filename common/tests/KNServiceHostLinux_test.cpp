#include "KNServiceHost.h"
#include "KNServiceHostLinux.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "KNEnv.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A module that records what the host asked of it, in order.
class RecordingModule : public kn::ServiceModule {
 public:
  kn::ServiceRegistration reg{"ZARODIRazev", "ZARODIRazev", 5000};
  std::vector<std::string> events;
  bool startResult = true;
  bool stopHandler = true;
  std::function<bool()> onStop = [] { return true; };
  std::function<void(kn::ServiceContext&)> body = [](kn::ServiceContext& ctx) {
    std::raise(SIGTERM);
    while (!ctx.terminated()) {
      ctx.waitForRequest(std::chrono::seconds(30));
      ctx.processRequests();
    }
  };

  kn::ServiceRegistration registration() override { return reg; }
  void beforeInstall() override { events.push_back("beforeInstall"); }
  void beforeUninstall() override { events.push_back("beforeUninstall"); }
  bool start() override {
    events.push_back("start");
    return startResult;
  }
  void execute(kn::ServiceContext& ctx) override {
    events.push_back("execute");
    body(ctx);
    events.push_back("execute done");
  }
  bool stop() override {
    events.push_back("stop");
    return onStop();
  }
  bool hasStopHandler() const override { return stopHandler; }
};

struct RunResult {
  int code;
  std::string out, err;
};

RunResult run(kn::ServiceModule& module, std::vector<std::string> args) {
  args.insert(args.begin(), "prog");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int code = kn::runServiceApplication(module, static_cast<int>(argv.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  return {code, out, testing::internal::GetCapturedStderr()};
}

// A temporary system root with a fake systemctl that appends its arguments to "calls" and fails
// with exit code 3 for a verb that has a "fail-<verb>" file beside it.
class ServiceHostTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("knsvchost." + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    systemctl_ = root_ / "bin" / "systemctl";
    std::ofstream(systemctl_) << "#!/bin/sh\n"
                                 "d=$(dirname \"$0\")\n"
                                 "echo \"$*\" >> \"$d/calls\"\n"
                                 "[ -e \"$d/fail-$1\" ] && exit 3\n"
                                 "exit 0\n";
    fs::permissions(systemctl_, fs::perms::owner_all);
    setenv("KN_SYSROOT", root_.c_str(), 1);
    setenv("KN_SYSTEMCTL", systemctl_.c_str(), 1);
    unsetenv("NOTIFY_SOCKET");
  }
  void TearDown() override {
    unsetenv("KN_SYSROOT");
    unsetenv("KN_SYSTEMCTL");
    unsetenv("NOTIFY_SOCKET");
    fs::remove_all(root_);
  }
  std::string calls() const { return readFile(root_ / "bin" / "calls"); }
  void failVerb(const std::string& verb) { std::ofstream(root_ / "bin" / ("fail-" + verb)); }
  fs::path unit(const std::string& name = "ZARODIRazev") const {
    return root_ / "etc/systemd/system" / (name + ".service");
  }

  fs::path root_, systemctl_;
  RecordingModule module_;
};

TEST(ServiceSwitches, ReadsItsSwitchesInAnyFormAndRefusesEveryOtherArgument) {
  using kn::ServiceAction;
  struct Case {
    std::vector<std::string> args;
    ServiceAction action;
    bool silent;
  } cases[] = {
      {{}, ServiceAction::Run, false},
      {{"/INSTALL"}, ServiceAction::Install, false},
      {{"-install", "/silent"}, ServiceAction::Install, true},
      {{"--Install"}, ServiceAction::Install, false},
      {{"/UnInstall", "-SILENT"}, ServiceAction::Uninstall, true},
      {{"/SILENT"}, ServiceAction::Run, true},
      {{"/silent", "--help"}, ServiceAction::Run, true},  // help is answered before the switches
  };
  for (const auto& c : cases) {
    auto s = kn::parseServiceSwitches(c.args);
    std::string label = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(c.action, s.action) << label;
    EXPECT_EQ(c.silent, s.silent) << label;
  }
  // A command line the program cannot carry out is refused whole, never half-read into a run.
  const std::vector<std::vector<std::string>> refused = {
      {"/install", "/uninstall"},
      {"INSTALL"},  // a switch needs its "/" or "-"
      {"/installer"},
      {"/install", "-silently"},
      {"--bogus"},
      {"somefile"},
      {"/SILENT", "-x"},
  };
  for (const auto& args : refused) {
    EXPECT_THROW(kn::parseServiceSwitches(args), kn::EServiceUsageError) << args.back();
  }

  auto help = [](std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return kn::helpRequested(static_cast<int>(argv.size()), argv.data());
  };
  for (const char* yes : {"--help", "-h", "/?", "/HELP", "-Help"}) EXPECT_TRUE(help({"/silent", yes})) << yes;
  for (const char* no : {"help", "?", "--helper", "/install"}) EXPECT_FALSE(help({no})) << no;
  EXPECT_FALSE(help({}));
}

TEST(ServiceName, AcceptsOnlyIdentifiers) {
  for (const char* good : {"ZARODIRazev", "_svc", "a1_B2", "x"})
    EXPECT_TRUE(kn::isValidServiceName(good)) << good;
  for (const char* bad : {"", "1svc", "my-svc", "a b", "../etc", "svc.service", "s\xc3\xa9rvice"})
    EXPECT_FALSE(kn::isValidServiceName(bad)) << bad;
}

TEST_F(ServiceHostTest, InstallWritesTheUnitAndEnablesItThenUninstallRemovesIt) {
  RunResult r = run(module_, {"/install"});
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("Service installed successfully\n", r.out);
  EXPECT_EQ(
      "[Unit]\n"
      "Description=ZARODIRazev\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" +
          kn::exePath() +
          "\n"
          "Restart=on-failure\n"
          "TimeoutStartSec=5000ms\n"
          "User=root\n"
          "\n"
          "[Install]\n"
          "WantedBy=multi-user.target\n",
      readFile(unit()));
  EXPECT_EQ(fs::perms(0644), fs::status(unit()).permissions() & fs::perms::mask);
  EXPECT_EQ(1u, std::distance(fs::directory_iterator(unit().parent_path()), fs::directory_iterator()))
      << "no temporary file is left beside the unit";
  EXPECT_EQ("daemon-reload\nenable ZARODIRazev\n", calls());

  r = run(module_, {"-UNINSTALL"});
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("Service uninstalled successfully\n", r.out);
  EXPECT_FALSE(fs::exists(unit()));
  EXPECT_EQ("daemon-reload\nenable ZARODIRazev\ndisable ZARODIRazev\ndaemon-reload\n", calls());
  EXPECT_EQ((std::vector<std::string>{"beforeInstall", "beforeUninstall"}), module_.events);
}

TEST_F(ServiceHostTest, SilentSuppressesTheSuccessMessages) {
  EXPECT_EQ("", run(module_, {"/install", "/silent"}).out);
  EXPECT_TRUE(fs::exists(unit()));
  EXPECT_EQ("", run(module_, {"/uninstall", "/silent"}).out);
  EXPECT_FALSE(fs::exists(unit()));
}

TEST(ServiceUnit, ValuesCannotAddDirectivesOrBeExpanded) {
  struct Case {
    std::string display, program;
    const char* description;
    const char* execStart;
  } cases[] = {
      {"ZARODIRazev", "/opt/kn/auditagent", "ZARODIRazev", "/opt/kn/auditagent"},
      {"Agent\nExecStartPre=/bin/evil %n\\", "/opt/kn/a", "Agent ExecStartPre=/bin/evil %%n", "/opt/kn/a"},
      {"x", "/opt/my apps/svc", "x", "\"/opt/my apps/svc\""},
      {"x", "/opt/$HOME/100%/a\"b\\c", "x", "\"/opt/$$HOME/100%%/a\\\"b\\\\c\""},
      {"x", "/opt/a\nb", "x", "\"/opt/a\\x0ab\""},
  };
  for (const auto& c : cases) {
    std::string text = kn::serviceUnitText({"svc", c.display, 5000}, c.program);
    EXPECT_NE(std::string::npos, text.find(std::string("\nDescription=") + c.description + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find(std::string("\nExecStart=") + c.execStart + "\n")) << text;
    EXPECT_EQ(12, std::count(text.begin(), text.end(), '\n')) << text;
  }
  EXPECT_NE(std::string::npos,
            kn::serviceUnitText({"svc", "svc", 90500}, "/a").find("\nTimeoutStartSec=90500ms\n"));
  EXPECT_EQ(std::string::npos, kn::serviceUnitText({"svc", "svc", 5000}, "/a").find("TimeoutStopSec"));
  EXPECT_NE(std::string::npos,
            kn::serviceUnitText({"svc", "svc", 5000, 30000}, "/a").find("\nTimeoutStopSec=30000ms\n"));
}

TEST_F(ServiceHostTest, FailingSystemctlIsReportedAndTheUnitStaysWritten) {
  failVerb("enable");
  RunResult r = run(module_, {"/install", "/silent"});
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("", r.out);
  EXPECT_NE(std::string::npos, r.err.find("Service ZARODIRazev: ")) << r.err;
  EXPECT_NE(std::string::npos,
            r.err.find("systemctl failed: \"systemctl enable ZARODIRazev\" failed with exit code 3"))
      << r.err;
  EXPECT_TRUE(fs::exists(unit()));

  setenv("KN_SYSTEMCTL", (root_ / "bin" / "missing").c_str(), 1);
  r = run(module_, {"/install"});
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.err.find("could not run")) << r.err;
}

TEST_F(ServiceHostTest, UninstallFailuresKeepWhatCannotBeUndone) {
  RunResult r = run(module_, {"/uninstall"});
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.err.find("not installed")) << r.err;
  EXPECT_EQ("", calls());

  ASSERT_EQ(0, run(module_, {"/install", "/silent"}).code);
  failVerb("disable");
  r = run(module_, {"/uninstall"});
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("", r.out);
  EXPECT_TRUE(fs::exists(unit())) << "the unit stays so that uninstalling can be retried";
}

TEST_F(ServiceHostTest, ConflictingSwitchesNameTheServiceAndDoNothing) {
  RunResult r = run(module_, {"/install", "-uninstall"});
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("Service ZARODIRazev: INSTALL and UNINSTALL cannot be given together\n", r.err);
  EXPECT_TRUE(module_.events.empty());
  EXPECT_FALSE(fs::exists(unit()));
  EXPECT_EQ("", calls());
}

TEST_F(ServiceHostTest, InvalidNameIsRefusedBeforeAnythingHappens) {
  module_.reg.name = "../../evil";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"/install"}, {"/uninstall"}, {}}) {
    RunResult r = run(module_, args);
    EXPECT_EQ(1, r.code) << (args.empty() ? "(run)" : args[0]);
    EXPECT_NE(std::string::npos, r.err.find("not a valid service name")) << r.err;
  }
  EXPECT_TRUE(module_.events.empty());
  EXPECT_FALSE(fs::exists(root_ / "etc"));
  EXPECT_EQ("", calls());
}

TEST_F(ServiceHostTest, StopSignalRunsTheStopHandlerOnTheExecuteThread) {
  struct Case {
    int signal;
    bool stopHandler;
    std::vector<std::string> events;
  } cases[] = {
      {SIGTERM, true, {"start", "execute", "stop", "execute done"}},
      {SIGINT, true, {"start", "execute", "stop", "execute done"}},
      {SIGTERM, false, {"start", "execute", "execute done"}},
      {0, true, {"start", "execute", "stop", "execute done"}},  // requestServiceStop() from another thread
  };
  for (const auto& c : cases) {
    RecordingModule m;
    m.stopHandler = c.stopHandler;
    bool stopSeenBeforeProcessing = true;
    m.body = [&](kn::ServiceContext& ctx) {
      EXPECT_FALSE(ctx.waitForRequest(std::chrono::milliseconds(1)));
      if (c.signal != 0) {
        std::raise(c.signal);
      } else {
        std::thread(kn::requestServiceStop).join();
      }
      EXPECT_TRUE(ctx.waitForRequest(std::chrono::seconds(30)));
      stopSeenBeforeProcessing = m.events.back() == "execute";
      ctx.processRequests();
      EXPECT_TRUE(ctx.terminated());
    };
    RunResult r = run(m, {});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ(c.events, m.events) << c.signal;
    EXPECT_TRUE(stopSeenBeforeProcessing) << "the handler must not run stop() itself";
  }
  struct sigaction now {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(SIG_DFL, now.sa_handler) << "the previous handler is restored after the run";
  kn::requestServiceStop();  // no service application: nothing happens, the next run starts clean
  RecordingModule m;
  m.body = [](kn::ServiceContext& ctx) { EXPECT_FALSE(ctx.waitForRequest(std::chrono::milliseconds(1))); };
  EXPECT_EQ(0, run(m, {}).code);
}

TEST_F(ServiceHostTest, RefusedStopKeepsRunningUntilTheNextRequest) {
  int stops = 0;
  module_.onStop = [&] { return ++stops == 2; };
  module_.body = [&](kn::ServiceContext& ctx) {
    std::raise(SIGTERM);
    ctx.processRequests();
    EXPECT_FALSE(ctx.terminated());
    ctx.processRequests();  // no new request: nothing happens
    EXPECT_EQ(1, stops);
    std::raise(SIGTERM);
    ctx.processRequests();
    EXPECT_TRUE(ctx.terminated());
  };
  EXPECT_EQ(0, run(module_, {}).code);
}

TEST_F(ServiceHostTest, StopArrivingDuringStartIsNotLost) {
  struct StartStopped : RecordingModule {
    bool start() override {
      std::raise(SIGTERM);
      return RecordingModule::start();
    }
  } m;
  m.body = [](kn::ServiceContext& ctx) { ctx.processRequests(); };
  EXPECT_EQ(0, run(m, {}).code);
  EXPECT_EQ((std::vector<std::string>{"start", "execute", "stop", "execute done"}), m.events);
}

TEST_F(ServiceHostTest, FailuresEndTheRunWithAFailureCode) {
  struct Case {
    const char* what;
    std::function<void(RecordingModule&)> arrange;
    const char* message;
  } cases[] = {
      {"start false", [](RecordingModule& m) { m.startResult = false; }, "Service failed on start: "},
      {"execute throws",
       [](RecordingModule& m) { m.body = [](kn::ServiceContext&) { throw kn::Exception("disk on fire"); }; },
       "Service failed on execute: disk on fire\n"},
      {"stop throws",
       [](RecordingModule& m) { m.onStop = []() -> bool { throw std::runtime_error("stuck"); }; },
       "Service failed on stop: stuck\n"},
  };
  for (const auto& c : cases) {
    RecordingModule m;
    c.arrange(m);
    RunResult r = run(m, {});
    EXPECT_EQ(1, r.code) << c.what;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.what << ": " << r.err;
  }
  RecordingModule m;
  m.startResult = false;
  run(m, {});
  EXPECT_EQ(std::vector<std::string>{"start"}, m.events) << "execute does not run after a failed start";
}

TEST_F(ServiceHostTest, NotifiesSystemdOnPathAndAbstractSockets) {
  for (bool abstract : {false, true}) {
    std::string where =
        abstract ? "@knsvchost-test-" + std::to_string(getpid()) : (root_ / "notify").string();
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, where.data(), where.size());
    if (abstract) addr.sun_path[0] = '\0';
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where.size())))
        << where;
    setenv("NOTIFY_SOCKET", where.c_str(), 1);

    RecordingModule m;
    EXPECT_EQ(0, run(m, {}).code);
    std::vector<std::string> got;
    char buf[256];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.emplace_back(buf, static_cast<size_t>(n));
    EXPECT_EQ((std::vector<std::string>{"READY=1", "STOPPING=1"}), got) << where;
    close(fd);
  }
}

}  // namespace
