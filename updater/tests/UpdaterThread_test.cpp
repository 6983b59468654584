#include "UpdaterThread.h"

#include <gtest/gtest.h>

#include "KNServiceControlFake.h"
#include "UpdateRunner.h"
#include "UpdaterTestSupport.h"

#include <algorithm>
#include "WUServiceUpdater.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

// One minute of interval takes 60 ms; the 10-second retry 10 ms.
class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { test::writeFile(dir / "app", "old", 0755); }
  test::TempFolder dir;
  test::UpdateServer server;
  test::EnvScope env{{{"KN_UPDATE_URL", server.base()}, {"KN_TIME_SCALE", "1000"}}};
  test::FastTicks ticks;
  FakeServiceControl services;
  ScopedServiceControl useServices{services};
};

TEST_F(ThreadTest, ChecksSoonAfterStartThenOnTheInterval) {
  // A slower scale than the other tests, so that a loaded machine cannot blur 10 s with a minute:
  // the first check is due after 100 ms, each later one 600 ms after the one before.
  test::EnvScope slower{{{"KN_TIME_SCALE", "100"}}};
  server.answer([](auto&, auto&) { return "version=0.0.0.0"; });
  auto start = std::chrono::steady_clock::now();
  TUpdaterThread t("app", "app1", "", 1, false, dir.path());
  t.start();
  ASSERT_TRUE(test::eventually([&] { return server.checks("app1") >= 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 450ms);  // 100 ms, not an interval of 600 ms
  ASSERT_TRUE(test::eventually([&] { return server.checks("app1") >= 3; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1200ms);  // two intervals of 600 ms
  EXPECT_EQ(0, server.downloads("app1"));
}

TEST_F(ThreadTest, AnUpdateIsFollowedByAQuickCheckWhateverItsOutcome) {
  // The package is broken the first time; then it brings the announced version.
  server.answer([](auto&, auto&) { return "version=2.0"; });
  server.package("app1", "broken");
  TUpdaterThread t("app", "app1", "svc", 60, false, dir.path());
  services.addService("svc", {.state = kServiceRunning});
  t.start();
  ASSERT_TRUE(test::eventually([&] { return server.downloads("app1") >= 1; }));
  const std::string program = test::programWithVersion("2.0");
  server.package("app1", test::zipBytes({{"app", program}}, kPackagePassword));
  // Retried 10 ms later, not an hour.
  ASSERT_TRUE(test::eventually([&] { return test::readFile(dir / "app") == program; }, 2s));
  int checks = server.checks("app1");
  ASSERT_TRUE(test::eventually([&] { return server.checks("app1") == checks + 1; }, 2s));
  t.terminate();
  ASSERT_TRUE(test::eventually([&] { return t.finished(); }));
  EXPECT_EQ(checks + 1, server.checks("app1"));  // back on its hourly interval
  std::string log = dir.appLog("app");
  EXPECT_NE(log.find("Updating app from 0.0.0.0 to 2.0"), std::string::npos);
  EXPECT_NE(log.find("Error in checking: Cannot open"), std::string::npos) << log;
  EXPECT_EQ(kServiceRunning, services.state("svc"));
}

// A package that does not bring the version it is announced with is installed once, then left
// alone for as long as the server announces that version with the same bytes; failures back off.
TEST_F(ThreadTest, APackageThatNeverConvergesIsInstalledOnceAndFailuresBackOff) {
  server.answer([](auto&, auto&) { return "version=2.0"; });
  server.package("app1", test::zipBytes({{"app", test::programWithVersion("1.9")}}, ""));
  services.addService("svc", {.state = kServiceRunning});
  TUpdaterThread t("app", "app1", "svc", 1, false, dir.path());  // checks every 60 ms
  t.start();
  ASSERT_TRUE(test::eventually([&] { return server.checks("app1") >= 6; }));
  EXPECT_EQ(1, test::countOf(dir.appLog("app"), "Installing update:..."));
  std::string log = dir.appLog("app");
  EXPECT_NE(log.find("The update did not bring version 2.0: app reports 1.9"), std::string::npos) << log;
  EXPECT_GE(test::countOf(log, "Nothing to do: this package was installed and did not bring version 2.0"), 3);

  // Other bytes under the same version are installed; a broken package backs off to the interval.
  int stops = test::countOf(dir.appLog("app"), "StopService:...");
  server.package("app1", "broken");
  ASSERT_TRUE(
      test::eventually([&] { return test::countOf(dir.appLog("app"), "next attempt in 60 ms") >= 2; }));
  t.terminate();
  ASSERT_TRUE(test::eventually([&] { return t.finished(); }));
  log = dir.appLog("app");
  EXPECT_NE(log.find("Failed 2 times in a row; next attempt in 20 ms"), std::string::npos) << log;
  EXPECT_NE(log.find("Failed 3 times in a row; next attempt in 40 ms"), std::string::npos) << log;
  EXPECT_EQ(stops, test::countOf(log, "StopService:..."));  // no broken package stopped anything
}

// Two entries share an appid: their checks take turns, and an install stops the services of
// both, and of an entry whose program the package replaces.
TEST_F(ThreadTest, EntriesSharingAnAppidTakeTurnsAndStopEachOthersServices) {
  std::vector<AppOwner> owners = {{"a", "shared", "svcA"}, {"b", "shared", "svcB"}, {"c", "other", "svcC"}};
  for (const auto& o : owners) services.addService(o.service, {.state = kServiceRunning});
  const std::string program = test::programWithVersion("2.0");
  server.answer([&](auto&, auto&) { return "version=2.0"; });
  server.package("shared", test::zipBytes({{"a", program}, {"b", program}, {"c", "new c"}}, ""), 200, 50ms);
  {
    TUpdaterThread a("a", "shared", "svcA", 60, false, dir.path()),
        b("b", "shared", "svcB", 60, false, dir.path());
    a.setOwners(owners);
    b.setOwners(owners);
    a.start();
    b.start();
    ASSERT_TRUE(test::eventually([&] { return server.checks("shared") >= 3; }));
  }
  EXPECT_EQ(1, server.maxParallelDownloads());
  EXPECT_EQ(1, server.downloads("shared"));  // the second check found b current
  std::vector<std::string> calls = services.calls();
  auto position = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  for (const char* svc : {"svcA", "svcB", "svcC"}) {
    SCOPED_TRACE(svc);
    EXPECT_LT(position(std::string("stop ") + svc), position("start svcA"));
    EXPECT_EQ(kServiceRunning, services.state(svc));
  }
  EXPECT_EQ(program, test::readFile(dir / "b"));
}

TEST_F(ThreadTest, AStopRequestCutsTheRunningUpdateShort) {
  server.answer([](auto&, auto&) { return "version=2.0"; });
  server.package("app1", test::zipBytes({{"app", "new"}}, kPackagePassword));
  services.addService("svc", {.state = kServiceRunning, .stopQueries = -1});  // never stops
  updaterTicks().servicePoll = 1h;
  TUpdaterThread t("app", "app1", "svc", 60, false, dir.path());
  t.start();
  ASSERT_TRUE(
      test::eventually([&] { return dir.appLog("app").find("checking status 3") != std::string::npos; }));
  t.terminate();
  ASSERT_TRUE(test::eventually([&] { return t.finished(); }));
  std::string log = dir.appLog("app");
  EXPECT_NE(log.find("UPD: StartService:..."), std::string::npos) << log;
  EXPECT_NE(log.find("Update abandoned: the service is stopping"), std::string::npos) << log;
  EXPECT_EQ(std::string::npos, log.find("Installing update:...")) << log;
  EXPECT_EQ("old", test::readFile(dir / "app"));
  EXPECT_EQ("start svc", services.calls()[services.calls().size() - 2]);
  EXPECT_TRUE(test::fs::is_empty(dir / ".kn-updater"));  // no record, no download
}

TEST(RunnerTest, StartsOneThreadPerAppAndMessagesGoWhereDebugSays) {
  test::TempFolder dir;
  test::UpdateServer server;
  test::EnvScope env{{{"KN_UPDATE_URL", server.base()}, {"KN_TIME_SCALE", "1000"}}};
  test::FastTicks ticks;
  test::writeFile(dir / "c",
                  R"({"name": "u", "descr": "d", "services": [{"exe": "a", "appid": "a", "interval": 9},
      {"exe": "b"}, {"exe": "c", "appid": "c", "interval": 9}]})");
  TUpdaterConfig cf = TUpdaterConfig::load(dir / "c");
  {
    TUpdateRunner runner(false, cf, dir.path());
    runner.execute();
    ASSERT_EQ(2u, runner.threads().size());
    EXPECT_EQ("c", runner.threads()[1].first);
    ASSERT_TRUE(test::eventually([&] { return server.checks("a") == 1 && server.checks("c") == 1; }));
    runner.Terminate();
    EXPECT_TRUE(runner.threads()[0].second->finished() && runner.threads()[1].second->finished());
  }
  std::string log = test::readFile(namedLogFile("TUpdateRunner"));
  EXPECT_NE(log.find("Created thread for a\r\n"), std::string::npos);
  EXPECT_NE(log.find("Waiting 10 seconds for all threads to finish..."), std::string::npos);

  std::remove(namedLogFile("TUpdateRunner").c_str());
  testing::internal::CaptureStdout();
  {
    TUpdateRunner runner(true, cf, dir.path());
    runner.execute();
  }
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Created thread for c\n"), std::string::npos);
  EXPECT_FALSE(test::fs::exists(namedLogFile("TUpdateRunner")));
}

}  // namespace
}  // namespace kn
