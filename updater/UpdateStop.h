// A stop request that reaches into a running check or update: the update thread owns a
// std::stop_source, and every step that may last (an HTTP exchange, reading or writing a package,
// a wait for a service) looks at its token and gives up with EUpdateStopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "KNException.h"

namespace kn {

// A step abandoned because the service is stopping.
KN_DECLARE_EXCEPTION(EUpdateStopped, Exception);

inline void throwIfStopped(const std::stop_token& stop) {
  if (stop.stop_requested()) throw EUpdateStopped("Abandoned: the service is stopping");
}

// Waits `d`, or less once a stop is requested; true when it was. The stop is handed over under the
// waiter's own lock, so it cannot slip in between the waiter's look and its wait (the standard
// library's stop-aware wait of condition_variable_any could miss it there, and under Wine such a
// wait was seen to outlast its time-out by minutes).
inline bool waitUnlessStopped(const std::stop_token& stop, std::chrono::milliseconds d) {
  struct Wake {
    std::mutex m;
    std::condition_variable cv;
    bool stopped = false;
  } wake;
  std::stop_callback onStop(stop, [&wake] {
    std::lock_guard hold(wake.m);
    wake.stopped = true;
    wake.cv.notify_all();
  });
  std::unique_lock lock(wake.m);
  return wake.cv.wait_for(lock, d, [&] { return wake.stopped; });
}

}  // namespace kn
