// The system clock: local time from the real-time clock, CLOCK_BOOTTIME for both the steady
// count and the uptime.
#include <time.h>

#include <cerrno>
#include <thread>

#include "KNClock.h"

namespace kn {
namespace {

// CLOCK_BOOTTIME never goes back and counts the time the machine was suspended.
std::chrono::milliseconds bootTime() {
  timespec ts{};
  if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) throwOSError("Cannot read the time since boot", errno);
  return std::chrono::milliseconds(static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

class SystemClock final : public Clock {
 public:
  TDateTime now() override { return nowDateTime(); }
  std::chrono::milliseconds steady() override { return bootTime(); }
  std::chrono::milliseconds uptime() override { return bootTime(); }
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

bool localCalendar(std::time_t t, std::tm& out) { return ::localtime_r(&t, &out) != nullptr; }

Clock& appClock() { return installed ? *installed : systemClock; }

void setAppClock(Clock* clock) { installed = clock; }

}  // namespace kn
