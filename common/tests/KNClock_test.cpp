#include "KNClock.h"

#include <gtest/gtest.h>

#include "KNClockFake.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

TEST(KNClockTest, SystemClockTellsTheTruth) {
  Clock& c = appClock();
  EXPECT_NEAR(c.now(), nowDateTime(), toDays(1s));
  auto a = c.steady();
  c.sleepFor(2ms);
  EXPECT_GE(c.steady() - a, 2ms);
  EXPECT_GT(c.uptime(), 0ms);
}

TEST(KNClockTest, ManualClockMovesOnlyWhenTold) {
  const TDateTime start = encodeDateTimeParts(2024, 1, 15, 9, 0, 0, 0);
  test::ManualClock manual(start, 10min);
  {
    test::ScopedAppClock scoped(manual);
    int hooks = 0;
    manual.onSleep([&] { ++hooks; });
    appClock().sleepFor(90min);
    EXPECT_EQ(hooks, 1);
    EXPECT_EQ(appClock().now(), start + toDays(90min));
    EXPECT_EQ(appClock().steady(), 90min);
    EXPECT_EQ(appClock().uptime(), 100min);

    manual.shiftWallClock(-24h);  // the wall clock alone moves back
    EXPECT_EQ(appClock().now(), start + toDays(90min) - 1);
    EXPECT_EQ(appClock().steady(), 90min);

    manual.setUptimeError("no boot time");
    EXPECT_THROW(appClock().uptime(), EOSError);
  }
  EXPECT_NE(&appClock(), &manual);
}

}  // namespace
}  // namespace kn
