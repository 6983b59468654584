// The real svcupdater program, copied into a temporary folder beside its configuration, against a
// loopback update server and a systemctl stand-in that records its calls and plays services' states.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"
#include "WUServiceUpdater.h"

#include <algorithm>

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
daemon-reload*|enable*|disable*) ;;
*) exit 1 ;;
esac
)sh";

// A copy of svcupdater in a fresh folder, its configuration beside it and the systemctl stand-in
// in "systemd/". Removed at the end; a program still running then is killed.
class Installation {
 public:
  explicit Installation(const std::string& config = "") {
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
  }

  std::string operator/(const std::string& name) const { return dir_ + name; }

  // Starts the program with `args`, the update server at `updateUrl`, every duration divided by
  // 1000, the systemctl stand-in, and the folder as system root.
  void launch(const std::vector<std::string>& args = {}, const std::string& updateUrl = "",
              const std::string& timeScale = "1000") {
    std::vector<std::string> env = {"KN_UPDATE_URL=" + updateUrl, "KN_TIME_SCALE=" + timeScale,
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

  // How often `service` was asked to stop.
  int stops(const std::string& service) const {
    auto calls = systemctlCalls(service);
    return static_cast<int>(std::count(calls.begin(), calls.end(), "stop --no-block " + service));
  }
  // True when a file of the unpacker's (".kn-XXXXXX") is in the folder.
  bool unpacking() const {
    for (const auto& e : test::fs::directory_iterator(dir_))
      if (isUnpackTempName(e.path().filename().string())) return true;
    return false;
  }
  // True when an install record is in the updater's private folder.
  bool installing() const {
    std::error_code ec;
    for (const auto& e : test::fs::directory_iterator(dir_ + ".kn-updater", ec))
      if (e.path().extension() == ".install" && test::fs::file_size(e.path(), ec) > 0) return true;
    return false;
  }

  std::string mainLog() const { return readFile(dir_ + "logs/svcupdater.vlog"); }
  // The daily log file of the application `exe` (all of them, should the date change meanwhile),
  // without the time stamps ("Thu 26/12/10 02:05:20.993" and two spaces) in front of its lines.
  std::string appLog(const std::string& exe) const {
    std::string log;
    std::error_code ec;  // no folder yet: no line yet
    for (const auto& f : test::fs::directory_iterator(dir_ + "logs", ec)) {
      if (!f.path().filename().string().starts_with("svcupdater." + exe + ".")) continue;
      std::istringstream in(readFile(f.path()));
      for (std::string line; std::getline(in, line);)
        log += (line.size() >= 27 && line.compare(25, 2, "  ") == 0 ? line.substr(27) : line) + "\n";
    }
    return log;
  }

 private:
  test::TempDir root_;
  std::string dir_ = root_.path() + "/";
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

// The unit gives a stop room for one slow systemctl run after the second or so that it takes.
TEST(ProgramTest, InstallWritesAUnitWithAStopTimeout) {
  Installation inst(R"({"name": "kSU_unit", "descr": "d", "services": []})");
  inst.launch({"/install", "/silent"});
  EXPECT_EQ(0, inst.end());
  std::string unit = readFile(inst / "etc/systemd/system/kSU_unit.service");
  EXPECT_NE(unit.find("\nTimeoutStopSec=45000ms\n"), std::string::npos) << unit;
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

  // badpw: refused before its service was touched, retried later and later.
  EXPECT_EQ("old badpw", readFile(svc / "badpw"));
  EXPECT_TRUE(svc.systemctlCalls("badsvc").empty());
  log = svc.appLog("badpw");
  EXPECT_NE(log.find("Error in checking: "), std::string::npos) << log;
  EXPECT_NE(log.find("Failed 2 times in a row; next attempt in 20 ms"), std::string::npos) << log;
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

namespace kn {
namespace {

// Hostile and mistaken packages against the real program: in more than two minutes at the test's
// time scale (a minute is 3 s), none that cannot be installed stops its service, and each that
// installs stops it once, converged or not.
TEST(ProgramTest, NoPackageStopsItsServiceAgainAndAgain) {
  test::UpdateServer server;
  const std::string v2 = test::programWithVersion("2.0");
  struct Case {
    const char* app;
    std::string package;
    int stops;
    std::string fileAfter;  // "" for the old one
    const char* answer = "version=2.0";
  } cases[] = {
      {"wrongpw", test::zipBytes({{"wrongpw", v2}}, "9999"), 0, ""},
      {"badcrc",
       test::corruptEntry(test::zipBytes({{"badcrc", v2}, {"badcrc.dat", "second entry data"}}, ""), "",
                          "second entry data"),
       0, ""},
      {"longname", test::zipBytes({{"longname", v2}, {std::string(300, 'n'), "x"}}, ""), 0, ""},
      {"many", test::zipClaimingEntries(1000000), 0, ""},
      {"appidzip", test::zipBytes({{"appidzip", v2}, {"appidzip.zip", "the package's data"}}, ""), 1, v2},
      {"blank", test::zipBytes({{"blank", v2}}, ""), 1, v2, "version=2.0 \r\n"},
      {"never", test::zipBytes({{"never", test::programWithVersion("1.9")}}, ""), 1, "never"},
  };
  std::string services;
  for (const auto& c : cases)
    services += std::string(services.empty() ? "" : ",") + R"({"exe": ")" + c.app + R"(", "appid": ")" +
                c.app + R"(", "interval": 1, "service": ")" + c.app + R"(svc"})";
  Installation inst(R"({"name": "kSU_table", "descr": "d", "services": [)" + services + "]}");
  for (const auto& c : cases) {
    writeFile(inst / c.app, std::string("old ") + c.app, 0755);
    inst.service(std::string(c.app) + "svc", "active");
    server.package(c.app, c.package);
  }
  writeFile(inst / "appidzip.zip", "the application's own data");
  server.answer([&](const std::string& id, const std::string&) {
    for (const auto& c : cases)
      if (id == c.app) return std::string(c.answer);
    return std::string();
  });
  inst.launch({}, server.base(), "20");
  ASSERT_TRUE(test::eventually(
      [&] {
        return std::all_of(std::begin(cases), std::end(cases),
                           [&](const Case& c) { return server.checks(c.app) >= 3; });
      },
      60s));
  EXPECT_EQ(0, inst.end(SIGTERM));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.app);
    std::string svc = std::string(c.app) + "svc";
    EXPECT_EQ(c.stops, inst.stops(svc));
    EXPECT_EQ("active\n", inst.serviceState(svc));
    std::string now = readFile(inst / c.app);
    if (c.fileAfter.empty()) {
      EXPECT_EQ(std::string("old ") + c.app, now);
    } else if (c.fileAfter != "never") {
      EXPECT_EQ(c.fileAfter, now);
    }
  }
  EXPECT_EQ("the package's data", readFile(inst / "appidzip.zip"));
  EXPECT_FALSE(inst.unpacking());
  std::string log = inst.appLog("many");
  EXPECT_NE(log.find("holds more than 200000 entries"), std::string::npos) << log;
  EXPECT_NE(inst.appLog("longname").find("longer than the file system allows"), std::string::npos);
  EXPECT_NE(inst.appLog("never").find("Nothing to do: this package was installed"), std::string::npos);
}

// SIGTERM while a check or an update runs: the program ends at once (well before the trickle or
// the late answer could finish), its service runs and its files are the old ones.
TEST(ProgramTest, ASigtermEndsAnyStepOfAnUpdate) {
  std::vector<test::ZipEntry> many;
  for (int i = 0; i < 20000; ++i) many.push_back({"f" + std::to_string(i), "x"});
  many.push_back({"app", "new app"});
  const std::string manyZip = test::zipBytes(many, "");
  const std::string small = test::zipBytes({{"app", "new app"}}, "");
  struct Case {
    const char* what;
    bool stuck;  // the service never stops
    std::function<void(test::UpdateServer&)> serve;
    std::function<bool(Installation&, test::UpdateServer&)> ready;
    bool started;  // the service was asked to stop, and started again
  } cases[] = {
      {"trickled download", false,
       [&](test::UpdateServer& s) { s.package("app", std::string(100000, 'z'), 200, 100ms, 100); },
       [](Installation&, test::UpdateServer& s) { return s.downloads("app") > 0; }, false},
      {"late answer", false,
       [](test::UpdateServer& s) {
         s.answer([](auto&, auto&) {
           std::this_thread::sleep_for(3s);
           return "version=2.0";
         });
       },
       [](Installation&, test::UpdateServer& s) { return s.checks("app") > 0; }, false},
      {"unpack", false, [&](test::UpdateServer& s) { s.package("app", manyZip); },
       [](Installation& i, test::UpdateServer&) { return i.unpacking(); }, false},
      {"service stop", true, [&](test::UpdateServer& s) { s.package("app", small); },
       [](Installation& i, test::UpdateServer&) {
         return i.appLog("app").find("checking status 3") != std::string::npos;
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::UpdateServer server;
    server.answer([](auto&, auto&) { return "version=2.0"; });
    c.serve(server);
    Installation inst(R"({"name": "kSU_stop", "descr": "d", "services": [
        {"exe": "app", "appid": "app", "interval": 60, "service": "appsvc"}]})");
    writeFile(inst / "app", "old app", 0755);
    inst.service("appsvc", "active", c.stuck);
    inst.launch({}, server.base());
    ASSERT_TRUE(test::eventually([&] { return c.ready(inst, server); }, 30s));
    EXPECT_EQ(0, inst.end(SIGTERM));
    EXPECT_EQ("old app", readFile(inst / "app"));
    EXPECT_FALSE(inst.unpacking());
    EXPECT_EQ(c.started ? 1 : 0, inst.stops("appsvc"));
    EXPECT_EQ("active\n", inst.serviceState("appsvc"));
    std::string log = inst.appLog("app");
    EXPECT_NE(log.find("Update abandoned: the service is stopping"), std::string::npos) << log;
    EXPECT_EQ(std::string::npos, log.find("Installing update: OK")) << log;
  }
}

// SIGKILL once the install record is written and the service asked to stop: the next start
// starts the service again, and the files are whole.
TEST(ProgramTest, AnUpdateKilledMidwayIsRepairedAtTheNextStart) {
  test::UpdateServer server;
  server.answer([](auto&, auto&) { return "version=2.0"; });
  server.package("app", test::zipBytes({{"app", "new app"}, {"app.conf", "new conf"}}, ""));
  Installation inst(R"({"name": "kSU_kill", "descr": "d", "services": [
      {"exe": "app", "appid": "app", "interval": 60, "service": "appsvc"}]})");
  writeFile(inst / "app", "old app", 0755);
  inst.service("appsvc", "active", true);
  inst.launch({}, server.base());
  ASSERT_TRUE(test::eventually(
      [&] { return inst.installing() && inst.serviceState("appsvc") == "deactivating\n"; }, 30s));
  inst.end(SIGKILL);
  test::fs::remove(inst / "systemd/appsvc.stuck");

  inst.launch({}, server.base());
  ASSERT_TRUE(test::eventually(
      [&] { return inst.mainLog().find("record(s) of an interrupted update") != std::string::npos; }, 30s));
  ASSERT_TRUE(test::eventually([&] { return readFile(inst / "app") == "new app"; }, 30s));
  EXPECT_EQ(0, inst.end(SIGTERM));
  EXPECT_EQ("active\n", inst.serviceState("appsvc"));
  EXPECT_EQ("new conf", readFile(inst / "app.conf"));
  EXPECT_FALSE(inst.unpacking());
  EXPECT_NE(inst.appLog("app").find("UPD: Starting appsvc again after the interrupted update: 1"),
            std::string::npos)
      << inst.appLog("app");
}

}  // namespace
}  // namespace kn
