// The clock seam: what the running services ask of time. Every schedule reads its time and takes
// its sleeps here, so tests can replace the clock with a manual one (KNClockFake.h) and drive days
// of schedule in milliseconds, and the system clock stays the only reader of the real time.
//
// Three readings, because they answer different questions:
//   now()     local wall-clock date-time: for what is stored or shown (the next-audit time, logs).
//             An administrator or a time zone change may move it either way.
//   steady()  a count that never goes back and keeps counting through suspend: for due times that
//             live only in memory, so a clock change neither freezes nor rushes a schedule.
//   uptime()  time since the system started: for the last boot time. Throws EOSError when the
//             system cannot tell.
//
// The process-wide clock is the system clock until setAppClock() installs another; install and
// remove it only while no thread uses the clock (tests do it around the code they drive). The
// system clock may be used from any thread; a replacement says what it allows.
//
// KN_TIME_SCALE divides schedule durations (KNEnv.h scaled()), not the clock: the clock always
// tells the true time, and sleeps last as long as they are asked to.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "KNLib.h"

namespace kn {

// Ends a sleep early: one thread sleeps through Clock::sleepFor(d, &interrupt), any other thread
// may call interrupt(). Once interrupted it stays so, and later sleeps with it return at once.
class SleepInterrupt {
 public:
  void interrupt() {
    {
      std::lock_guard lock(mu_);
      set_ = true;
    }
    cv_.notify_all();
  }
  bool interrupted() const {
    std::lock_guard lock(mu_);
    return set_;
  }
  // Waits up to `d` of real time; true when interrupted.
  bool waitFor(std::chrono::milliseconds d) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, d, [this] { return set_; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TDateTime now() = 0;
  virtual std::chrono::milliseconds steady() = 0;
  virtual std::chrono::milliseconds uptime() = 0;
  // Returns after `d`, or sooner once `interrupt` (when given) is interrupted. A manual clock
  // returns at once, having moved its time on by `d`.
  virtual void sleepFor(std::chrono::milliseconds d, SleepInterrupt* interrupt) = 0;
  void sleepFor(std::chrono::milliseconds d) { sleepFor(d, nullptr); }
};

// The process-wide clock.
Clock& appClock();

namespace detail {
// The platform's half of the system clock: time since the system started, counting suspend, never
// going back (KNClock<Platform>.cpp). Throws EOSError when the system cannot tell.
std::chrono::milliseconds timeSinceBoot();
}  // namespace detail
// Replaces the process-wide clock with `clock` (not owned; it must outlive its use); nullptr
// returns to the system clock.
void setAppClock(Clock* clock);

// A duration as a date-time difference (days).
constexpr TDateTime toDays(std::chrono::milliseconds d) {
  return static_cast<double>(d.count()) / 86400000.0;
}

}  // namespace kn
