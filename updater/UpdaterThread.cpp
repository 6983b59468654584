#include "UpdaterThread.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "KNEnv.h"
#include "WUServiceUpdater.h"
#include "knLOG2.h"
#include "knWebUpdateChecker.h"

namespace kn {

using namespace std::chrono_literals;

TUpdaterThread::TUpdaterThread(std::string exename, std::string appid, std::string servicename, int interval,
                               bool debug, std::string folder)
    : exename_(std::move(exename)),
      appid_(std::move(appid)),
      servicename_(std::move(servicename)),
      interval_(interval),
      debug_(debug),
      folder_(std::move(folder)) {}

TUpdaterThread::~TUpdaterThread() {
  terminate();
  if (thread_.joinable()) thread_.join();
}

void TUpdaterThread::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    Execute();
    finished_ = true;
  });
}

void TUpdaterThread::threadLog(const std::string& text) const { logTo(exename_, text); }

// The schedule runs on the monotonic clock, so setting the wall clock neither delays nor hurries it.
void TUpdaterThread::Execute() {
  pthread_setname_np(pthread_self(), "TUpdaterThread");
  using Clock = std::chrono::steady_clock;
  // A clock reading plus the period must not overflow: a century stands for any longer interval.
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
  const auto period = std::min(scaled(std::chrono::minutes(interval_ > 0 ? interval_ : 5)), kLongest);
  const auto soon = scaled(10s);   // the first check, and the next one after an attempted update
  auto due = Clock::now() + soon;  // a check runs once the clock has passed this
  while (!stop_) {
    std::this_thread::sleep_for(updaterTicks().threadTick);
    if (Clock::now() <= due) continue;
    bool attempted = checkForUpdate();
    due = Clock::now() + (attempted ? soon : period);
  }
}

bool TUpdaterThread::checkForUpdate() {
  bool attempted = false;
  TKNWebUpdateChecker checker(exename_, appid_, true, true, "", folder_);
  try {
    checker.Execute();
    if (checker.resultvalue() == "UPDATEREQUIRED") {
      attempted = true;
      threadLog("Updating app from " + checker.appversion() + " to " + checker.newversion());
      TWUServiceUpdater(exename_, appid_, servicename_, folder_).Execute();
    }
  } catch (const std::exception& e) {
    threadLog("Error in checking: " + logSafe(e.what()));
  }
  return attempted;
}

}  // namespace kn
