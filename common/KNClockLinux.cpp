// The clock's Linux half: CLOCK_BOOTTIME, which counts the time the machine was suspended, and
// localtime_r.
#include <time.h>

#include <cerrno>

#include "KNClock.h"

namespace kn {

// CLOCK_BOOTTIME never goes back and counts the time the machine was suspended.
std::chrono::milliseconds detail::timeSinceBoot() {
  timespec ts{};
  if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) throwOSError("Cannot read the time since boot", errno);
  return std::chrono::milliseconds(static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

bool localCalendar(std::time_t t, std::tm& out) { return ::localtime_r(&t, &out) != nullptr; }

}  // namespace kn
