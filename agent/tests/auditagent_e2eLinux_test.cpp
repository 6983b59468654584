// The real auditagent program, copied into a throw-away machine (its own KN_SYSROOT and HOME) and
// pointed at a loopback platform through "endpoint.ini", with KN_TIME_SCALE shrinking its minutes
// to milliseconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "KNOs.h"
#include "KNTestHttp.h"
#include "agent_fixture.h"

namespace kn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakePlatform;

const char* const kApiKey = "K-7f3a9c";

// Waits (real time, in short steps) until `done` holds; false after `timeout`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// One installation of the program and at most one running process of it.
class AgentInstall {
 public:
  AgentInstall(const std::string& url, std::optional<std::string> apikey) {
    fs::create_directories(root_ / "bin");
    fs::copy_file(KN_AUDITAGENT_PATH, program());
    test::writeBytes(root_ / "bin/endpoint.ini", "url=" + url + "\n");
    if (apikey) put(root_ / "sys/etc/kestrane/HKLM.reg", test::policyHive(*apikey));
  }
  ~AgentInstall() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::string program() const { return root_ / "bin/auditagent"; }
  std::string path(const std::string& rel) const { return root_ / rel; }
  std::string pendingFile() const { return root_ / "sys/var/lib/Kestrane/ZARODIRazev/latest_audit.json"; }
  static void put(const std::string& file, const std::string& text) {
    fs::create_directories(fs::path(file).parent_path());
    test::writeBytes(file, text);
  }

  void start(const std::string& timeScale, std::vector<std::string> args = {}) {
    std::vector<std::string> env = {
        "PATH=/usr/bin:/bin",
        "KN_SYSROOT=" + (root_ / "sys"),
        "HOME=" + (root_ / "home"),
        "XDG_CONFIG_HOME=" + (root_ / "home/.config"),
        "XDG_DATA_HOME=" + (root_ / "home/.local/share"),
        "KN_TIME_SCALE=" + timeScale,
        "KN_SYSTEMCTL=/bin/true",
    };
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TZ"})
      if (const char* v = ::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    args.insert(args.begin(), program());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    std::string out = root_ / "stdout", err = root_ / "stderr";
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
  }
  bool running() { return pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == 0; }
  // SIGTERM, then the exit code (-1 when it did not end within `timeout`).
  int stop(std::chrono::milliseconds timeout = 10s) {
    ::kill(pid_, SIGTERM);
    return wait(timeout);
  }
  int wait(std::chrono::milliseconds timeout = 20s) {
    if (!eventually([&] { return ::waitpid(pid_, &status_, WNOHANG) == pid_; }, timeout)) return -1;
    pid_ = 0;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  std::string output() const { return test::readBytes(root_ / "stdout") + test::readBytes(root_ / "stderr"); }

  // The lines of the named daily log ("TITAuditMain", "TZARODIRazev") without time stamps.
  std::vector<std::string> log(const std::string& name) const {
    std::vector<std::string> files, lines;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_ / "bin/logs", ec)) {
      std::string f = e.path().filename();
      if (f.starts_with("auditagent." + name + ".")) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files)
      for (auto& l : test::logMessages(f)) lines.push_back(l);
    return lines;
  }
  size_t logCount(const std::string& name, const std::string& prefix) const {
    return test::countPrefix(log(name), prefix);
  }
  // The main log's lines without time stamps.
  std::vector<std::string> mainLog() const { return test::logMessages(root_ / "bin/logs/auditagent.vlog"); }
  // The time stamp ("yy/MM/DD HH:nn:SS.zzz", which sorts as it reads) of the first line of the
  // named log that is `message`; "" when there is none.
  std::string stampOf(const std::string& name, const std::string& message) const {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_ / "bin/logs", ec)) {
      if (!e.path().filename().string().starts_with("auditagent." + name + ".")) continue;
      for (const auto& l : test::fileLines(e.path())) {
        if (l.size() > 27 && l.substr(27) == message) return l.substr(4, 21);
      }
    }
    return "";
  }

 private:
  test::TempDir root_;
  pid_t pid_ = 0;
  int status_ = 0;
};

// `expected` appear in `lines` in this order (other lines may lie between them).
void expectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  auto it = lines.begin();
  for (const auto& e : expected) {
    it = std::find(it, lines.end(), e);
    ASSERT_NE(it, lines.end()) << "missing or out of order: " << e;
  }
}

const std::vector<std::string> kServiceLifeLines = {"Create",
                                                    "Start:...",
                                                    "Start: OK",
                                                    "ServiceExecute",
                                                    "Starting thread...",
                                                    "Starting thread OK",
                                                    "Stop",
                                                    "Service terminated=true",
                                                    "Terminating thread and wating for 5 seconds",
                                                    "ServiceExecute: done"};

TEST(AuditAgentEndToEnd, WithoutAKeyOnlyTheMissingKeyNoticeArrives) {
  FakePlatform platform;
  AgentInstall agent(platform.url(), std::nullopt);
  agent.start("1800");  // the notice every 3 s
  ASSERT_TRUE(platform.waitFor([](const auto& calls) { return calls.size() >= 2; })) << agent.output();
  EXPECT_EQ(agent.stop(), 0) << agent.output();

  for (const auto& c : platform.calls()) EXPECT_EQ(c.method, "notifyMissingAPIKEY");
  EXPECT_EQ(platform.calls()[0].data[0], "auditagent");
  expectInOrder(agent.log("TZARODIRazev"), kServiceLifeLines);
  EXPECT_EQ(agent.log("TITAuditMain").back(), "Execute terminated");
}

// The uploaded audit document: the real engine's, whole.
void expectAuditDocument(const FakePlatform::Call& upload) {
  EXPECT_EQ(upload.data[0], 0);
  auto doc = nlohmann::json::parse(upload.data[1].get<std::string>());
  EXPECT_EQ(doc["success"], true);
  EXPECT_TRUE(doc.contains("rurirudoDUROVorov"));
}

TEST(AuditAgentEndToEnd, WithAKeyReportsAuditsAndUploadsThenStops) {
  FakePlatform platform;
  AgentInstall agent(platform.url(), kApiKey);
  agent.start("600");
  ASSERT_TRUE(platform.waitFor([](const auto& calls) {
    return std::any_of(calls.begin(), calls.end(), [](const auto& c) { return c.method == "putAudit"; });
  })) << agent.output();
  ASSERT_TRUE(eventually([&] { return !fs::exists(agent.pendingFile()); }));

  auto calls = platform.calls();
  EXPECT_EQ(calls[0].method, "putMiniAudit");
  EXPECT_EQ(calls[1].method, "putCommand");
  auto header = nlohmann::json::parse(calls[0].serviceAppHeader);
  EXPECT_EQ(header.value("k", ""), kApiKey);
  EXPECT_EQ(header.value("av", ""), std::string("auditagent/") + KN_PROJECT_VERSION);
  EXPECT_TRUE(calls[0].data[0].contains("lastboot")) << calls[0].data;
  expectAuditDocument(platform.answered("putAudit").front());

  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(agent.stop(), 0) << agent.output();
  // One tick and the activity in progress, then the 5 s wait divided by the scale.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 3s);
  expectInOrder(agent.log("TZARODIRazev"), kServiceLifeLines);
  expectInOrder(agent.log("TITAuditMain"),
                {"Creating...", "Instance created", "Execute starting...", "Running", "runCmd(checkin)...",
                 "runCmd(checkin) OK", "Checking for audit", "Error decoding dtNextAudit []",
                 "Error decoding dtNextAudit []", "Running audit", "RunAudit finished (OK)",
                 "Sending audit json OK", "Execute terminated"});
}

// The platform fails for a while in each way it can; the agent retries, keeps the audit made
// meanwhile, never stops, and delivers everything once the platform answers again.
enum class Failure { Unreachable, Http500, Exception };

class AuditAgentFailureTest : public ::testing::TestWithParam<Failure> {};

TEST_P(AuditAgentFailureTest, KeepsRetryingAndLosesNothing) {
  std::unique_ptr<FakePlatform> platform;
  int port;
  if (GetParam() == Failure::Unreachable) {
    port = test::unusedPort();
  } else {
    platform = std::make_unique<FakePlatform>();
    platform->setMode(GetParam() == Failure::Http500 ? FakePlatform::Mode::Http500
                                                     : FakePlatform::Mode::Exception);
    port = platform->port();
  }
  AgentInstall agent("http://127.0.0.1:" + std::to_string(port), kApiKey);
  agent.start("600");

  ASSERT_TRUE(eventually([&] {
    return fs::exists(agent.pendingFile()) && agent.logCount("TITAuditMain", "checkin error: ") >= 3 &&
           agent.logCount("TITAuditMain", "Error; could not send audit: ") >= 1;
  })) << agent.output();
  EXPECT_TRUE(agent.running());
  EXPECT_GE(agent.logCount("TITAuditMain", "miniauditError error: "), 1u);

  if (platform) {
    platform->setMode(FakePlatform::Mode::Ok);
  } else {
    platform = std::make_unique<FakePlatform>(port);
  }
  ASSERT_TRUE(platform->waitFor([](const auto& calls) {
    auto ok = [&](const char* m) {
      return std::any_of(calls.begin(), calls.end(),
                         [&](const auto& c) { return c.method == m && c.answered; });
    };
    return ok("putAudit") && ok("putCommand") && ok("putMiniAudit");
  })) << agent.output();
  expectAuditDocument(platform->answered("putAudit").front());
  EXPECT_TRUE(eventually([&] { return !fs::exists(agent.pendingFile()); }));
  EXPECT_EQ(agent.stop(), 0) << agent.output();
}

INSTANTIATE_TEST_SUITE_P(Platform, AuditAgentFailureTest,
                         ::testing::Values(Failure::Unreachable, Failure::Http500, Failure::Exception));

// What a hostile or broken platform (or a proxy in front of it) can answer, one kind after the other
// to the same running agent: the agent neither crashes nor hangs, checks in again once the platform
// answers well, and its logs stay bounded, one line per message, free of the server's control
// characters.
TEST(AuditAgentEndToEnd, SurvivesHostileRepliesAndChecksInAgain) {
  using Handler = FakePlatform::Handler;
  auto body = [](std::string text, int status = 200, std::string type = "application/json") -> Handler {
    return [=](const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.set_content(text, type);
    };
  };
  auto nested = [](size_t depth) { return std::string(depth, '[') + "1" + std::string(depth, ']'); };
  std::string page;
  while (page.size() < (50u << 20)) page += "<p>\r\nFORGED LINE\x1b[2J</p>";
  auto trickling = std::make_shared<std::atomic<bool>>(true);
  struct Case {
    const char* what;
    Handler handler;
  } cases[] = {
      {"nested 100,000 deep as the result", body(R"({"type":"rpc","result":)" + nested(100000) + "}")},
      {"nested 100,000 deep as an exception's message",
       body(R"({"type":"exception","message":)" + nested(100000) + "}")},
      {"nested 250 deep, accepted", body(R"({"type":"rpc","result":{"a":)" + nested(250) + "}}")},
      {"invalid UTF-8 in the result", body("{\"type\":\"rpc\",\"result\":{\"status\":\"o\xFFk\xC3\"}}")},
      {"invalid UTF-8 in an exception's message",
       body("{\"type\":\"exception\",\"message\":\"no \xC0\\u001b[2J\\r\\nFORGED\"}")},
      {"a reply of 100 MB", test::streamedReply(100u << 20, false)},
      {"an error page of 50 MB with CR, LF and ESC", body(page, 502, "text/html")},
      {"one byte every 20 ms",
       [trickling](const httplib::Request&, httplib::Response& res) {
         res.set_chunked_content_provider("application/json", [trickling](size_t, httplib::DataSink& sink) {
           std::this_thread::sleep_for(20ms);
           return *trickling && sink.write(" ", 1);
         });
       }},
      {"10,000 cookies",
       [](const httplib::Request&, httplib::Response& res) {
         static std::atomic<int> round = 0;
         int r = ++round;
         res.headers.emplace("Set-Cookie", "evil=1; Comment=\x1b[2J\r");
         for (int i = 0; i < 10000; ++i)
           res.headers.emplace("Set-Cookie", "c" + std::to_string(r) + "_" + std::to_string(i) + "=v");
         res.set_content(R"({"type":"rpc","result":{"status":"ok"}})", "application/json");
       }},
      {"a NUL after the object", body(std::string(R"({"type":"rpc","result":{"status":"ok"}})") + '\0')},
  };

  FakePlatform platform;
  AgentInstall agent(platform.url(), kApiKey);
  agent.start("600");  // a check-in every 0.9 s, a status record every 1.5 s
  auto checkedInAfter = [&](size_t from) {
    return platform.waitFor([from](const auto& calls) {
      for (size_t i = from; i < calls.size(); ++i)
        if (calls[i].method == "putCommand" && calls[i].answered) return true;
      return false;
    });
  };
  ASSERT_TRUE(checkedInAfter(0)) << agent.output();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t from = platform.calls().size();
    platform.setHostile(c.handler);
    // Two check-ins meet the reply: the agent came back for more after the first.
    ASSERT_TRUE(platform.waitFor([from](const auto& calls) {
      return std::count_if(calls.begin() + from, calls.end(),
                           [](const auto& call) { return call.method == "putCommand"; }) >= 2;
    })) << agent.output();
    from = platform.calls().size();
    platform.setMode(FakePlatform::Mode::Ok);
    ASSERT_TRUE(checkedInAfter(from)) << agent.output();
    ASSERT_TRUE(agent.running()) << agent.output();
  }
  *trickling = false;
  EXPECT_EQ(agent.stop(), 0) << agent.output();

  EXPECT_GE(agent.logCount("TITAuditMain", "checkin error: "), 10u);
  EXPECT_GE(agent.logCount("TITAuditMain",
                           "checkin error: EExtCommunicationError: Communication error: "
                           "the reply is nested deeper than 256 levels"),
            2u);
  EXPECT_GE(agent.logCount("TITAuditMain",
                           "checkin error: EExtCommunicationError: Communication error: "
                           "the reply is larger than 64 MB"),
            1u);
  EXPECT_GE(agent.logCount("TITAuditMain", "checkin error: EExtError: no \xEF\xBF\xBD"), 1u);
  EXPECT_GE(agent.logCount("TITAuditMain",
                           "checkin error: EExtCommunicationError: Communication error: "
                           "fewer than 100 bytes per second"),
            1u);
  std::uintmax_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(agent.path("bin/logs"))) {
    if (!e.is_regular_file()) continue;
    SCOPED_TRACE(e.path().string());
    total += e.file_size();
    std::string text = test::readBytes(e.path());
    EXPECT_EQ(text.find_first_of(std::string("\x1b\0", 2)), std::string::npos);
    size_t longest = 0;
    for (const auto& l : test::fileLines(e.path())) {
      longest = std::max(longest, l.size());
      EXPECT_NE(l.rfind("FORGED LINE", 0), 0u) << "a server's line break starts no line";
    }
    // At most 1,000 characters of a server's text per line, each escaped to at most four ("\x1b").
    EXPECT_LT(longest, 4200u);
  }
  EXPECT_LT(total, 4u << 20) << "every log together";
}

// A platform that takes the connection and then never answers: the request stalls.
class StalledPlatform {
 public:
  StalledPlatform() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(a.sin_port);
  }
  ~StalledPlatform() {
    for (int c : accepted_) ::close(c);
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Waits (real time) for a connection and keeps it open, unanswered; false after `timeout`.
  bool accept(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    accepted_.push_back(c);
    return true;
  }

 private:
  int fd_;
  int port_ = 0;
  std::vector<int> accepted_;
};

// Real time, no scale: the exchange is abandoned at once, the loop ends before the service
// reports itself terminated, and the 5 s wait follows; all well inside the unit's stop time-out.
TEST(AuditAgentEndToEnd, AStopDuringAStalledExchangeEndsWithinSeconds) {
  StalledPlatform stalled;
  AgentInstall agent(stalled.url(), kApiKey);
  agent.start("1");
  ASSERT_TRUE(stalled.accept(20s)) << agent.output();
  std::this_thread::sleep_for(200ms);  // the request is on its way; the reply never comes

  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(agent.stop(15s), 0) << agent.output();
  auto took = std::chrono::steady_clock::now() - begun;
  EXPECT_LT(took, 10s);
  EXPECT_GE(took, 5s) << "the 5 s wait after a stop";

  expectInOrder(agent.log("TZARODIRazev"), kServiceLifeLines);
  auto main = agent.log("TITAuditMain");
  EXPECT_EQ(test::countPrefix(main, "miniaudit abandoned: the service is stopping"), 1u);
  EXPECT_EQ(test::countPrefix(main, "miniauditError error: "), 0u) << "a stopped exchange is no failure";
  EXPECT_EQ(main.back(), "Execute terminated");
  // The loop has ended before the service reports itself terminated, although the two lines go to
  // different files.
  std::string loopEnded = agent.stampOf("TITAuditMain", "Execute terminated");
  std::string serviceEnded = agent.stampOf("TZARODIRazev", "Service terminated=true");
  ASSERT_FALSE(loopEnded.empty());
  ASSERT_FALSE(serviceEnded.empty());
  EXPECT_LE(loopEnded, serviceEnded);
}

// Whatever stops the agent before its service runs is logged, printed on standard error and ends
// the process with exit code 1, so systemd sees the start fail.
TEST(AuditAgentEndToEnd, StartUpFailuresEndTheProcessWithExitCode1) {
  struct Case {
    const char* name;
    std::function<void(AgentInstall&)> arrange;
    std::string printed;  // on standard error
    std::string logName;  // "" = the main log
    std::string logged;   // the start of a line
  };
  const Case cases[] = {
      {"endpoint.ini is a folder",
       [](AgentInstall& a) {
         fs::remove(a.path("bin/endpoint.ini"));
         fs::create_directory(a.path("bin/endpoint.ini"));
       },
       "auditagent: Cannot read file \"", "", "mesg.: Cannot read file \""},
      {"endpoint.ini larger than 16 MiB",
       [](AgentInstall& a) { fs::resize_file(a.path("bin/endpoint.ini"), (16u << 20) + 1); },
       "It is larger than 16777216 bytes", "", "mesg.: Cannot read file \""},
      {"a hive that cannot be read",
       [](AgentInstall& a) { AgentInstall::put(a.path("sys/etc/kestrane/HKLM.reg"), "not a hive\n"); },
       "HKLM.reg", "", "--- EXCEPTION ---"},
      {"an identity that cannot be written",
       [](AgentInstall& a) { AgentInstall::put(a.path("sys/var/lib/Kestrane/Identity"), "not a folder"); },
       "auditagent: MyID failed, cannot start service", "", "mesg.: MyID failed, cannot start service"},
      {"a main thread that cannot be made",  // its store holds a number where it keeps text
       [](AgentInstall& a) {
         AgentInstall::put(a.path("home/.config/kestrane/HKCU.reg"),
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_CURRENT_USER\\Software\\Kestrane\\auditagent\\audit]\r\n"
                           "\"nextv6\"=dword:00000001\r\n");
       },
       "Service failed on start: the main thread could not be created: ", "TZARODIRazev",
       "Could not start TITAuditMain thead: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    AgentInstall agent(platform.url(), kApiKey);
    c.arrange(agent);
    agent.start("600");
    EXPECT_EQ(agent.wait(), 1) << agent.output();
    EXPECT_NE(agent.output().find(c.printed), std::string::npos) << agent.output();
    auto lines = c.logName.empty() ? agent.mainLog() : agent.log(c.logName);
    EXPECT_EQ(test::countPrefix(lines, c.logged), 1u) << c.logged;
    EXPECT_EQ(agent.logCount("TZARODIRazev", "ServiceExecute"), 0u);
    EXPECT_TRUE(platform.calls().empty());
  }
}

// Help is printed before any set-up: no identity, no call.
TEST(AuditAgentEndToEnd, HelpOrAMistypedSwitchEndsTheProgramBeforeItWritesAnything) {
  FakePlatform platform;
  AgentInstall agent(platform.url(), kApiKey);
  for (const char* sw : {"--help", "/?"}) {
    agent.start("1", {sw});
    EXPECT_EQ(agent.wait(), 0) << agent.output();
    EXPECT_EQ(agent.output().rfind("Usage: auditagent [/INSTALL | /UNINSTALL] [/SILENT]\n", 0), 0u)
        << agent.output();
  }
  // A mistyped switch is refused with the usage text before the agent writes anything.
  const std::string hive = test::readBytes(agent.path("sys/etc/kestrane/HKLM.reg"));
  for (const char* sw : {"--bogus", "install"}) {
    agent.start("1", {sw});
    EXPECT_EQ(agent.wait(), 2) << agent.output();
    EXPECT_NE(agent.output().find("Usage: auditagent [/INSTALL | /UNINSTALL] [/SILENT]\n"), std::string::npos)
        << agent.output();
  }
  EXPECT_NE(agent.output().find("unexpected argument 'install'"), std::string::npos) << agent.output();
  EXPECT_FALSE(fs::exists(agent.path("sys/var/lib/Kestrane")));
  EXPECT_EQ(test::readBytes(agent.path("sys/etc/kestrane/HKLM.reg")), hive);
  EXPECT_FALSE(fs::exists(agent.path("bin/logs")));
  EXPECT_TRUE(platform.calls().empty());
}

// systemd's own judgement of a unit file: its complaints, "" when it has none.
std::string systemdComplaints(const std::string& unit) {
  // Its complaints go to standard error, which the shell joins to the output the seam keeps.
  ProgramResult r = os().runProgram({.argv = {"/bin/sh", "-c", "systemd-analyze verify '" + unit + "' 2>&1"}});
  if (r.end == ProgramResult::End::NotStarted) return "cannot run systemd-analyze";
  return r.exitedWith(0) ? r.output : r.output + " (exit status " + std::to_string(r.exitCode) + ")";
}

// Neither switch needs the identity: a broken "endpoint.ini" stops neither.
TEST(AuditAgentEndToEnd, InstallWritesTheUnitAndUninstallRemovesIt) {
  FakePlatform platform;
  AgentInstall agent(platform.url(), kApiKey);
  fs::remove(agent.path("bin/endpoint.ini"));
  fs::create_directory(agent.path("bin/endpoint.ini"));
  const std::string unit = agent.path("sys/etc/systemd/system/ZARODIRazev.service");

  agent.start("1", {"/INSTALL"});
  EXPECT_EQ(agent.wait(), 0) << agent.output();
  EXPECT_NE(agent.output().find("Service installed successfully"), std::string::npos) << agent.output();
  std::string text = test::readBytes(unit);
  EXPECT_NE(text.find("Description=ZARODIRazev"), std::string::npos) << text;
  EXPECT_NE(text.find("ExecStart=" + agent.program()), std::string::npos) << text;
  EXPECT_NE(text.find("\nTimeoutStopSec=30000ms\n"), std::string::npos) << text;
  if (::access("/usr/bin/systemd-analyze", X_OK) == 0) {
    EXPECT_EQ(systemdComplaints(unit), "");
  }
  EXPECT_FALSE(fs::exists(agent.path("sys/var/lib/Kestrane/Identity"))) << "no identity is made to install";

  agent.start("1", {"-uninstall", "-silent"});
  EXPECT_EQ(agent.wait(), 0) << agent.output();
  EXPECT_EQ(agent.output(), "");
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_TRUE(platform.calls().empty());
}

}  // namespace
}  // namespace kn
