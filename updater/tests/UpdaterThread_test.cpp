#include "UpdaterThread.h"

#include <gtest/gtest.h>

#include "KNServiceControlFake.h"
#include "UpdateRunner.h"
#include "UpdaterTestSupport.h"
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
  // The server wants 2.0 until the package was fetched; the package is broken the first time.
  std::atomic<int> served{0};
  server.answer([&](auto&, auto&) { return served >= 2 ? "version=0.0.0.0" : "version=2.0"; });
  server.package("app1", "broken");
  TUpdaterThread t("app", "app1", "svc", 60, false, dir.path());
  services.addService("svc", {.state = kServiceRunning});
  t.start();
  ASSERT_TRUE(test::eventually([&] { return server.downloads("app1") >= 1; }));
  server.package("app1", test::zipBytes({{"app", "new"}}, kPackagePassword));
  // Retried 10 ms later, not an hour.
  ASSERT_TRUE(test::eventually([&] { return test::readFile(dir / "app") == "new"; }, 2s));
  int checks = server.checks("app1");
  served = 2;
  ASSERT_TRUE(test::eventually([&] { return server.checks("app1") == checks + 1; }, 2s));
  t.terminate();
  ASSERT_TRUE(test::eventually([&] { return t.finished(); }));
  EXPECT_EQ(checks + 1, server.checks("app1"));  // back on its hourly interval
  std::string log = dir.appLog("app");
  EXPECT_NE(log.find("Updating app from 0.0.0.0 to 2.0"), std::string::npos);
  EXPECT_NE(log.find("Error in checking: Cannot open"), std::string::npos) << log;
  EXPECT_EQ(kServiceRunning, services.state("svc"));
}

TEST_F(ThreadTest, AStopRequestWaitsForTheRunningUpdate) {
  server.answer([](auto&, auto&) { return "version=2.0"; });
  server.package("app1", test::zipBytes({{"app", "new"}}, kPackagePassword));
  services.addService("svc", {.state = kServiceRunning, .stopQueries = -1});  // 21 polls
  updaterTicks().servicePoll = 20ms;
  TUpdaterThread t("app", "app1", "svc", 60, false, dir.path());
  t.start();
  ASSERT_TRUE(test::eventually([&] { return server.downloads("app1") == 1; }));
  t.terminate();
  ASSERT_FALSE(t.finished());
  ASSERT_TRUE(test::eventually([&] { return t.finished(); }));
  EXPECT_NE(dir.appLog("app").find("StartService: Done"), std::string::npos);  // the update ran to its end
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
    auto before = std::chrono::steady_clock::now();
    runner.Terminate();
    EXPECT_GE(std::chrono::steady_clock::now() - before, 10ms);
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
