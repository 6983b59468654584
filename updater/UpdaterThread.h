// The worker that keeps one watched application current: it wakes about once a second and, when
// the application's interval has passed, asks the update server (TKNWebUpdateChecker) and runs an
// update on the spot (TWUServiceUpdater) when the answer is "UPDATEREQUIRED". The first check comes
// 10 seconds after the start, the next one the interval later, or 10 seconds later after an
// attempted update (all divided by KN_TIME_SCALE). Its lines go to the application's daily log.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "globals.h"

namespace kn {

class TUpdaterThread {
 public:
  // Stores the values; the thread runs only once start() is called. `interval` is in minutes
  // (5 when not positive); `folder` is the updater's folder, ending in "/".
  TUpdaterThread(std::string exename, std::string appid, std::string servicename, int interval, bool debug,
                 std::string folder = updaterFolder());
  TUpdaterThread(const TUpdaterThread&) = delete;
  TUpdaterThread& operator=(const TUpdaterThread&) = delete;
  // Asks the thread to stop and waits until it has ended, which may be after a running update.
  ~TUpdaterThread();

  void start();
  // Sets the stop request and returns at once; the thread sees it between checks.
  void terminate() { stop_ = true; }
  bool finished() const { return finished_; }

  // One check and, if needed, one update; true when an update was attempted.
  bool checkForUpdate();

 private:
  void Execute();
  void threadLog(const std::string& text) const;

  std::string exename_;
  std::string appid_;
  std::string servicename_;
  int interval_;
  bool debug_;
  std::string folder_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace kn
