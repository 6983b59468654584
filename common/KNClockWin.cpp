// The system clock on Windows: local time from the system time, GetTickCount64 (which counts the
// time the machine was asleep) for both the steady count and the uptime.
#include <windows.h>

#include <ctime>
#include <thread>

#include "KNClock.h"

namespace kn {
namespace {

std::chrono::milliseconds bootTime() { return std::chrono::milliseconds(::GetTickCount64()); }

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

bool localCalendar(std::time_t t, std::tm& out) { return ::localtime_s(&out, &t) == 0; }

Clock& appClock() { return installed ? *installed : systemClock; }

void setAppClock(Clock* clock) { installed = clock; }

}  // namespace kn
