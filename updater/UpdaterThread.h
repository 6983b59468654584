// The worker that keeps one watched application current: it wakes about once a second and, when
// the application's interval has passed, asks the update server (TKNWebUpdateChecker) and runs an
// update on the spot (TWUServiceUpdater) when the answer is "UPDATEREQUIRED". The first check comes
// 10 seconds after the start, the next one the interval later, or 10 seconds later after an
// installed update; a failing update is retried after 10 seconds, then 20, 40 ... up to the
// interval (all divided by KN_TIME_SCALE). A package that was installed but did not bring the
// announced version is not installed again while the server announces that version for the same
// bytes. Threads whose entries share an appid take turns. A stop request reaches into a running
// check or update. Its lines go to the application's daily log.
#pragma once

#include <atomic>
#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "WUServiceUpdater.h"
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
  // Asks the thread to stop and waits until it has ended.
  ~TUpdaterThread();

  // The configuration's entries (see TWUServiceUpdater::setOwners). Call before start().
  void setOwners(std::vector<AppOwner> owners) { owners_ = std::move(owners); }
  // Moves the first check this much later (unscaled). Call before start().
  void setFirstCheckDelay(std::chrono::milliseconds extra) { extraDelay_ = extra; }

  void start();
  // Sets the stop request and returns at once; a running check or update ends within about a
  // second, an unfinished install rolled back and the services started again.
  void terminate() { stop_.request_stop(); }
  bool finished() const { return finished_; }

  // One check and, if needed, one update; true when an update was attempted. Sets the delay
  // until the next check.
  bool checkForUpdate();

 private:
  void Execute();
  void threadLog(const std::string& text) const;
  void failed(const std::string& version);

  std::string exename_;
  std::string appid_;
  std::string servicename_;
  int interval_;
  bool debug_;
  std::string folder_;
  std::vector<AppOwner> owners_;
  std::chrono::milliseconds extraDelay_{0};
  std::chrono::milliseconds period_;
  std::chrono::milliseconds next_{0};  // until the next check, set by checkForUpdate
  // A package installed without bringing the version it was announced with.
  std::string staleVersion_, staleHash_;
  // Failed attempts in a row at one announced version.
  std::string failingVersion_;
  int failures_ = 0;
  std::stop_source stop_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace kn
