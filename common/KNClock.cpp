// The system clock: local time from the real-time clock; the time since boot, from the platform's
// half, for both the steady count and the uptime.
#include "KNClock.h"

#include <thread>

namespace kn {
namespace {

class SystemClock final : public Clock {
 public:
  TDateTime now() override { return nowDateTime(); }
  std::chrono::milliseconds steady() override { return detail::timeSinceBoot(); }
  std::chrono::milliseconds uptime() override { return detail::timeSinceBoot(); }
  void sleepFor(std::chrono::milliseconds d, SleepInterrupt* interrupt) override {
    if (interrupt) {
      interrupt->waitFor(d);
    } else {
      std::this_thread::sleep_for(d);
    }
  }
};

SystemClock systemClock;
Clock* installed = nullptr;

}  // namespace

Clock& appClock() { return installed ? *installed : systemClock; }

void setAppClock(Clock* clock) { installed = clock; }

}  // namespace kn
