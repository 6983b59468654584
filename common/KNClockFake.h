// A manual clock for tests: time stands still until a sleep or advance() moves it, so a loop that
// sleeps its ticks runs through a simulated day in milliseconds. Install it for a scope with
// ScopedAppClock. Safe for one thread that sleeps and others that read or move it.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "KNClock.h"

namespace kn::test {

class ManualClock : public Clock {
 public:
  explicit ManualClock(TDateTime start, std::chrono::milliseconds uptime = std::chrono::hours(1))
      : wallStart_(start), uptimeStart_(uptime) {}

  TDateTime now() override {
    std::lock_guard lock(mu_);
    return wallStart_ + toDays(elapsed_ + wallShift_);
  }
  std::chrono::milliseconds steady() override {
    std::lock_guard lock(mu_);
    return elapsed_;
  }
  std::chrono::milliseconds uptime() override {
    std::lock_guard lock(mu_);
    if (uptimeError_) throw EOSError(*uptimeError_);
    return uptimeStart_ + elapsed_;
  }
  using Clock::sleepFor;
  // Moves time on by `d`, then calls the sleep hook (outside the lock, on the sleeping thread).
  // An interrupt already set returns at once with the time unmoved.
  void sleepFor(std::chrono::milliseconds d, SleepInterrupt* interrupt) override {
    if (interrupt && interrupt->interrupted()) return;
    std::function<void()> hook;
    {
      std::lock_guard lock(mu_);
      elapsed_ += d;
      ++sleeps_;
      hook = onSleep_;
    }
    if (hook) hook();
  }

  void advance(std::chrono::milliseconds d) {
    std::lock_guard lock(mu_);
    elapsed_ += d;
  }
  // Moves only the wall clock, as an administrator or a daylight-saving change would.
  void shiftWallClock(std::chrono::milliseconds d) {
    std::lock_guard lock(mu_);
    wallShift_ += d;
  }
  // Makes uptime() throw EOSError with `message` (nullopt: answer again).
  void setUptimeError(std::optional<std::string> message) {
    std::lock_guard lock(mu_);
    uptimeError_ = std::move(message);
  }
  // Called after every sleep, on the sleeping thread: a test stops its loop from here.
  void onSleep(std::function<void()> hook) {
    std::lock_guard lock(mu_);
    onSleep_ = std::move(hook);
  }
  // Time moved on since the clock was made (sleeps and advance()).
  std::chrono::milliseconds elapsed() {
    std::lock_guard lock(mu_);
    return elapsed_;
  }
  long sleeps() {
    std::lock_guard lock(mu_);
    return sleeps_;
  }

 private:
  std::mutex mu_;
  TDateTime wallStart_;
  std::chrono::milliseconds uptimeStart_;
  std::chrono::milliseconds elapsed_{0};
  std::chrono::milliseconds wallShift_{0};
  std::optional<std::string> uptimeError_;
  std::function<void()> onSleep_;
  long sleeps_ = 0;
};

// Installs `clock` as the process-wide clock for its lifetime.
class ScopedAppClock {
 public:
  explicit ScopedAppClock(Clock& clock) { setAppClock(&clock); }
  ~ScopedAppClock() { setAppClock(nullptr); }
  ScopedAppClock(const ScopedAppClock&) = delete;
  ScopedAppClock& operator=(const ScopedAppClock&) = delete;
};

}  // namespace kn::test
