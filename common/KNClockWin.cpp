// The clock's Windows half: GetTickCount64, which counts the time the machine was asleep, and the
// C runtime's local calendar.
#include <windows.h>

#include <ctime>

#include "KNClock.h"

namespace kn {

std::chrono::milliseconds detail::timeSinceBoot() { return std::chrono::milliseconds(::GetTickCount64()); }

bool localCalendar(std::time_t t, std::tm& out) { return ::localtime_s(&out, &t) == 0; }

}  // namespace kn
