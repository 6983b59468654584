// The real svcupdater program, copied into a temporary folder beside its configuration, against a
// loopback update server and a systemctl stand-in that records its calls and plays services' states.
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
using test::readFile;
using test::writeFile;

// systemctl as the updater calls it. Every call is appended to "calls"; a service exists when
// "<name>.state" does and is in the ActiveState that file holds. Stopping a service with a
// "<name>.stuck" file leaves it deactivating for ever.
constexpr const char* kSystemctl = R"sh(#!/bin/sh
cd "$(dirname "$0")" || exit 1
echo "$*" >> calls
case "$1 $2" in
"show -p")
  [ "$4" = --value ] || exit 1
  case "$3" in
  ActiveState) cat "$5.state" 2>/dev/null || echo inactive ;;
  LoadState) if [ -f "$5.state" ]; then echo loaded; else echo not-found; fi ;;
  *) exit 1 ;;
  esac ;;
"stop --no-block")
  [ -f "$3.state" ] || exit 5
  if [ -f "$3.stuck" ]; then echo deactivating > "$3.state"; else echo inactive > "$3.state"; fi ;;
"start --no-block")
  [ -f "$3.state" ] || exit 5
  echo active > "$3.state" ;;
*) exit 1 ;;
esac
)sh";

// A copy of svcupdater in a fresh folder, its configuration beside it and the systemctl stand-in
// in "systemd/". Removed at the end; a program still running then is killed.
class Installation {
 public:
  explicit Installation(const std::string& config = "") {
    std::string tmpl = (test::fs::temp_directory_path() / "knsvc-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    dir_ += "/";
    test::fs::copy_file(KN_SVCUPDATER_PATH, dir_ + "svcupdater");
    test::fs::permissions(dir_ + "svcupdater", test::fs::perms(0755));
    test::fs::create_directory(dir_ + "systemd");
    writeFile(dir_ + "systemd/systemctl", kSystemctl, 0755);
    if (!config.empty()) writeFile(dir_ + "svcupdaterconfig", config);
  }
  ~Installation() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    test::fs::remove_all(dir_, ec);
  }

  std::string operator/(const std::string& name) const { return dir_ + name; }

  // Starts the program with `args`, the update server at `updateUrl`, every duration divided by
  // 1000, the systemctl stand-in, and the folder as system root.
  void launch(const std::vector<std::string>& args = {}, const std::string& updateUrl = "") {
    std::vector<std::string> env = {"KN_UPDATE_URL=" + updateUrl, "KN_TIME_SCALE=1000",
                                    "KN_SYSTEMCTL=" + dir_ + "systemd/systemctl", "KN_SYSROOT=" + dir_};
    for (char** e = environ; *e; ++e) {
      std::string_view var = *e;
      bool ours = var.starts_with("KN_") || var.starts_with("http_proxy=") ||
                  var.starts_with("HTTP_PROXY=") || var.starts_with("all_proxy=") ||
                  var.starts_with("ALL_PROXY=");
      if (!ours) env.emplace_back(var);
    }
    std::vector<std::string> argv = {dir_ + "svcupdater"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp, envp;
    for (auto& a : argv) argp.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    ASSERT_EQ(0, posix_spawn(&pid_, argp[0], nullptr, nullptr, argp.data(), envp.data()));
  }
  // Sends `signal` (none with 0) and returns the exit code once the program has ended.
  int end(int signal = 0) {
    if (signal) ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // A service the stand-in knows, in ActiveState `state`; a `stuck` one never stops.
  void service(const std::string& name, const std::string& state, bool stuck = false) {
    writeFile(dir_ + "systemd/" + name + ".state", state + "\n");
    if (stuck) writeFile(dir_ + "systemd/" + name + ".stuck", "");
  }
  std::string serviceState(const std::string& name) const {
    return readFile(dir_ + "systemd/" + name + ".state");
  }
  bool systemctlCalled() const { return test::fs::exists(dir_ + "systemd/calls"); }
  // The calls naming `service`, in order.
  std::vector<std::string> systemctlCalls(const std::string& service) const {
    std::vector<std::string> calls;
    std::istringstream in(readFile(dir_ + "systemd/calls"));
    for (std::string line; std::getline(in, line);)
      if (line.ends_with(" " + service)) calls.push_back(line);
    return calls;
  }

  std::string mainLog() const { return readFile(dir_ + "logs/svcupdater.vlog"); }
  // The daily log file of the application `exe` (all of them, should the date change meanwhile),
  // without the time stamps ("Thu 26/12/10 02:05:20.993" and two spaces) in front of its lines.
  std::string appLog(const std::string& exe) const {
    std::string log;
    for (const auto& f : test::fs::directory_iterator(dir_ + "logs")) {
      if (!f.path().filename().string().starts_with("svcupdater." + exe + ".")) continue;
      std::istringstream in(readFile(f.path()));
      for (std::string line; std::getline(in, line);)
        log += (line.size() >= 27 && line.compare(25, 2, "  ") == 0 ? line.substr(27) : line) + "\n";
    }
    return log;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

TEST(ProgramTest, AnUnusableConfigurationEndsTheProcessWith255) {
  struct Case {
    const char* what;
    const char* text;  // "": no file
    const char* message;
  } cases[] = {
      {"missing", "", "mesg.: Config file not found ("},
      {"not JSON", "name=x", "mesg.: CF is nil"},
      {"no name", R"({"descr": "d", "services": []})", "mesg.: [name] missing"},
      {"bad name", R"({"name": "my updater", "descr": "d", "services": []})", "Invalid service name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installation inst(c.text);
    inst.launch({"/install"});
    EXPECT_EQ(255, inst.end());
    std::string log = inst.mainLog();
    EXPECT_NE(log.find("--- EXCEPTION ---"), std::string::npos) << log;
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(std::string::npos, log.find("Installing")) << log;
    EXPECT_FALSE(inst.systemctlCalled());
  }
}

// One updater watching three applications with services (one updates, one never stops, one has a
// package with the wrong password), and a second one watching an application without a service.
// The server asks for version 2.0 until the application's file holds its new content.
TEST(ProgramTest, UpdatesApplicationsAndEndsOnSigterm) {
  Installation svc(R"({"name": "kSU_e2e", "descr": "three services", "services": [
      {"exe": "good", "appid": "good", "interval": 60, "service": "goodsvc"},
      {"exe": "stuck", "appid": "stuck", "interval": 60, "service": "stucksvc"},
      {"exe": "badpw", "appid": "badpw", "interval": 60, "service": "badsvc"}]})");
  Installation plain(R"({"name": "kSU_plain", "descr": "no service", "services": [
      {"exe": "plain", "appid": "plain", "interval": 60}]})");
  for (const char* app : {"good", "stuck", "badpw"}) writeFile(svc / app, std::string("old ") + app, 0750);
  writeFile(plain / "plain", "old plain", 0700);
  svc.service("goodsvc", "active");
  svc.service("stucksvc", "active", true);
  svc.service("badsvc", "active");

  test::UpdateServer server;
  std::map<std::string, std::string> files = {
      {"good", svc / "good"}, {"stuck", svc / "stuck"}, {"badpw", svc / "badpw"}, {"plain", plain / "plain"}};
  server.answer([&](const std::string& id, const std::string&) {
    return readFile(files.at(id)).starts_with("new") ? "version=0.0.0.0" : "version=2.0";
  });
  server.package("good", test::zipBytes({{"bin/good", "new good", 0700}, {"etc/good.conf", "new conf"}},
                                        kPackagePassword));
  server.package("stuck", test::zipBytes({{"stuck", "new stuck"}}, kPackagePassword));
  server.package("badpw", test::zipBytes({{"badpw", "new badpw"}}, "9999"));
  server.package("plain", test::zipBytes({{"x/y/plain", "new plain", 0755}}, ""));

  svc.launch({}, server.base());
  plain.launch({}, server.base());
  // Each update is followed by a check that finds the application current; the stuck service costs
  // 21 real half-second polls. The wrong password is retried soon after.
  ASSERT_TRUE(test::eventually(
      [&] {
        return server.checks("good") >= 2 && server.checks("stuck") >= 2 && server.checks("plain") >= 2 &&
               server.downloads("badpw") >= 2;
      },
      60s));
  EXPECT_EQ(0, svc.end(SIGTERM));
  EXPECT_EQ(0, plain.end(SIGTERM));

  // good: every step, in order.
  EXPECT_EQ("new good", readFile(svc / "good"));
  EXPECT_EQ(0750u, test::modeOf(svc / "good"));
  EXPECT_EQ("new conf", readFile(svc / "good.conf"));
  EXPECT_FALSE(test::fs::exists(svc / "good.zip"));
  EXPECT_EQ((std::vector<std::string>{"stop --no-block goodsvc", "show -p ActiveState --value goodsvc",
                                      "show -p LoadState --value goodsvc", "start --no-block goodsvc",
                                      "show -p ActiveState --value goodsvc"}),
            svc.systemctlCalls("goodsvc"));
  EXPECT_EQ("active\n", svc.serviceState("goodsvc"));
  std::string log = svc.appLog("good");
  EXPECT_NE(log.find("Updating app from 0.0.0.0 to 2.0\r\n"
                     "UPD: Downloading good.pkg...\r\n" +
                     std::string(test::kSmoothUpdateLines)),
            std::string::npos)
      << log;
  EXPECT_EQ(1, test::countOf(log, "Updating app"));
  EXPECT_EQ(1, test::countOf(svc.mainLog(), "Packages are not signed"));

  // stuck: 21 polls, then the install and the start all the same.
  log = svc.appLog("stuck");
  EXPECT_EQ(21, test::countOf(log, "UPD:   checking status 3 attempt "));
  EXPECT_NE(log.find("UPD:   checking status 3 attempt 21\r\n"
                     "UPD: StopService: Done\r\n"
                     "UPD: Installing update:...\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("UPD: StartService:...\r\nUPD:   1\r\nUPD:   checking status 4 attempt 1\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ("new stuck", readFile(svc / "stuck"));
  auto stuckCalls = svc.systemctlCalls("stucksvc");
  ASSERT_EQ(24u, stuckCalls.size());  // stop, 21 queries, start, one query
  EXPECT_EQ("start --no-block stucksvc", stuckCalls[22]);

  // badpw: old file intact, service started again, package kept, retried.
  EXPECT_EQ("old badpw", readFile(svc / "badpw"));
  EXPECT_TRUE(test::fs::exists(svc / "badpw.zip"));
  EXPECT_EQ("active\n", svc.serviceState("badsvc"));
  log = svc.appLog("badpw");
  EXPECT_GE(test::countOf(log, "UPD: StartService:..."), 2);
  EXPECT_NE(log.find("Error in checking: "), std::string::npos) << log;
  EXPECT_EQ(std::string::npos, log.find("Installing update: OK")) << log;

  // plain: files replaced, no systemctl call at all.
  EXPECT_EQ("new plain", readFile(plain / "plain"));
  EXPECT_EQ(0700u, test::modeOf(plain / "plain"));
  EXPECT_FALSE(plain.systemctlCalled());
  EXPECT_EQ(std::string::npos, plain.appLog("plain").find("Service"));

  // The service's own lines, in order, ending with the stop.
  for (const Installation* inst : {&svc, &plain}) {
    log = inst->mainLog();
    size_t at = 0;
    for (const char* line :
         {"Service name: kSU_", "Application.Run..", "Service starting...", "Service started",
          "Service execution starting.", "Service execution terminated.", "Bye"}) {
      size_t next = log.find(line, at);
      EXPECT_NE(next, std::string::npos) << line << "\n" << log;
      at = next == std::string::npos ? at : next;
    }
  }
}

}  // namespace
}  // namespace kn

namespace kn {
namespace {

// The server named by "updateurl" alone, a package signed by the openssl command line, and the
// leftovers of an interrupted update that the start removes.
TEST(ProgramTest, InstallsASignedUpdateFromTheConfiguredServer) {
  test::UpdateServer server;
  Installation inst(R"({"name": "kSU_signed", "descr": "signed", "updateurl": ")" + server.base() +
                    R"(", "publickey": "keys/pub.pem", "services": [
      {"exe": "app", "appid": "app", "interval": 60}]})");
  test::fs::create_directory(inst / "keys");
  test::run("openssl genpkey -algorithm ed25519 -out " + (inst / "key.pem"));
  test::run("openssl pkey -in " + (inst / "key.pem") + " -pubout -out " + (inst / "keys/pub.pem"));
  writeFile(inst / "app", "old app", 0750);
  writeFile(inst / ".kn-Xy12Zw", "left by a kill");
  writeFile(inst / "app.pkg", test::zipBytes({{"app", "new app"}}, kPackagePassword));
  test::run("openssl pkeyutl -sign -rawin -inkey " + (inst / "key.pem") + " -in " + (inst / "app.pkg") +
            " -out " + (inst / "app.pkg.sig"));
  server.package("app", readFile(inst / "app.pkg"));
  server.signature("app", readFile(inst / "app.pkg.sig"));
  server.answer([&](const std::string&, const std::string&) {
    return readFile(inst / "app") == "new app" ? "version=0.0.0.0" : "version=2.0";
  });

  inst.launch();  // KN_UPDATE_URL empty: the configuration names the server
  ASSERT_TRUE(test::eventually([&] { return server.checks("app") >= 2; }, 60s));
  EXPECT_EQ(0, inst.end(SIGTERM));
  EXPECT_EQ("new app", readFile(inst / "app"));
  EXPECT_EQ(0750u, test::modeOf(inst / "app"));
  EXPECT_FALSE(test::fs::exists(inst / ".kn-Xy12Zw"));
  std::string main = inst.mainLog();
  EXPECT_NE(main.find("Removed 1 temporary file(s) of an interrupted update"), std::string::npos) << main;
  EXPECT_NE(main.find("Packages must carry an Ed25519 signature by the key " + (inst / "keys/pub.pem")),
            std::string::npos)
      << main;
  EXPECT_NE(
      inst.appLog("app").find("UPD: Download finished OK\r\nUPD: Package signature OK\r\nUPD: Installing"),
      std::string::npos)
      << inst.appLog("app");
}

}  // namespace
}  // namespace kn
