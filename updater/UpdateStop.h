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

// Waits `d`, or less once a stop is requested; true when it was.
inline bool waitUnlessStopped(const std::stop_token& stop, std::chrono::milliseconds d) {
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lock(m);
  return cv.wait_for(lock, stop, d, [&] { return stop.stop_requested(); });
}

}  // namespace kn
