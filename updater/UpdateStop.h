// A stop request that reaches into a running check or update: the update thread owns a
// std::stop_source, and every step that may last (an HTTP exchange, reading or writing a package,
// a wait for a service) looks at its token and gives up with EUpdateStopped.
#pragma once

#include <algorithm>
#include <chrono>
#include <stop_token>
#include <thread>

#include "KNException.h"

namespace kn {

// A step abandoned because the service is stopping.
KN_DECLARE_EXCEPTION(EUpdateStopped, Exception);

inline void throwIfStopped(const std::stop_token& stop) {
  if (stop.stop_requested()) throw EUpdateStopped("Abandoned: the service is stopping");
}

// Waits `d`, or less once a stop is requested (noticed within a quarter of a second); true when it
// was. It looks at the token between short sleeps rather than registering a std::stop_callback: the
// callback's removal waits on an atomic wait, which in the standard library of the Windows build
// (GCC 12's, on a platform without a native wait) can miss its wake-up and hang the waiting thread
// for good when the stop is requested at that very moment.
inline bool waitUnlessStopped(const std::stop_token& stop, std::chrono::milliseconds d) {
  constexpr std::chrono::milliseconds kSlice{250};
  const auto until = std::chrono::steady_clock::now() + d;
  for (;;) {
    if (stop.stop_requested()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    std::this_thread::sleep_for(std::min(left, kSlice));
  }
}

}  // namespace kn
