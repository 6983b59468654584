#include "UpdaterThread.h"

#include <pthread.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "KNEnv.h"
#include "KNVersion.h"
#include "UpdateStop.h"
#include "knLOG2.h"
#include "knWebUpdateChecker.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

// One lock per appid, shared by every thread whose entry has it: their packages write the same
// files.
std::timed_mutex& appidLock(const std::string& appid) {
  static std::mutex registry;
  static std::map<std::string, std::unique_ptr<std::timed_mutex>> locks;
  std::lock_guard g(registry);
  auto& lock = locks[appid];
  if (!lock) lock = std::make_unique<std::timed_mutex>();
  return *lock;
}

// A clock reading plus the period must not overflow: a century stands for any longer interval.
constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);

}  // namespace

TUpdaterThread::TUpdaterThread(std::string exename, std::string appid, std::string servicename, int interval,
                               bool debug, std::string folder)
    : exename_(std::move(exename)),
      appid_(std::move(appid)),
      servicename_(std::move(servicename)),
      interval_(interval),
      debug_(debug),
      folder_(std::move(folder)),
      period_(std::min(scaled(std::chrono::minutes(interval_ > 0 ? interval_ : 5)), kLongest)) {}

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
  std::stop_token stop = stop_.get_token();
  auto due = Clock::now() + scaled(10s) + extraDelay_;  // a check runs once the clock has passed this
  while (!waitUnlessStopped(stop, updaterTicks().threadTick)) {
    if (Clock::now() <= due) continue;
    checkForUpdate();
    due = Clock::now() + next_;
  }
}

// Doubles the wait after each failed attempt at one version: 10 s, 20 s, 40 s ... the interval.
void TUpdaterThread::failed(const std::string& version) {
  if (version != failingVersion_) failures_ = 0;
  failingVersion_ = version;
  ++failures_;
  auto wait = scaled(10s);
  for (int i = 1; i < failures_ && wait < period_; ++i) wait *= 2;
  next_ = std::min(wait, period_);
  if (failures_ > 1)
    threadLog("Failed " + std::to_string(failures_) + " times in a row; next attempt in " +
              std::to_string(next_.count()) + " ms");
}

bool TUpdaterThread::checkForUpdate() {
  next_ = period_;
  std::stop_token stop = stop_.get_token();
  std::unique_lock lock(appidLock(appid_), std::defer_lock);
  while (!lock.try_lock_for(100ms))
    if (stop.stop_requested()) return false;

  bool attempted = false;
  std::string version;
  TKNWebUpdateChecker checker(exename_, appid_, true, true, "", folder_);
  try {
    checker.Execute(stop);
    if (checker.resultvalue() == "UPDATED") {
      staleVersion_.clear();
      failures_ = 0;
    }
    if (checker.resultvalue() != "UPDATEREQUIRED") return false;
    attempted = true;
    version = checker.newversion();
    bool stale = version == staleVersion_;
    if (!stale) threadLog("Updating app from " + logSafe(checker.appversion()) + " to " + logSafe(version));
    TWUServiceUpdater update(exename_, appid_, servicename_, folder_);
    update.setOwners(owners_);
    update.setStop(stop);
    if (!update.Execute(stale ? staleHash_ : "")) {
      threadLog("Nothing to do: this package was installed and did not bring version " + logSafe(version) +
                "; it is installed again once the server announces another version or package");
      return false;
    }
    std::string now = trimVersion(fileVersion(folder_ + exename_));
    if (now != version) {
      threadLog("The update did not bring version " + logSafe(version) + ": " + logSafe(exename_) +
                " reports " + logSafe(now) + "; the same package is not installed again");
      staleVersion_ = version;
      staleHash_ = update.packageHash();
      return true;
    }
    staleVersion_.clear();
    failures_ = 0;
    next_ = std::min(scaled(10s), period_);  // the next check normally finds the application current
  } catch (const EUpdateStopped&) {
    threadLog("Update abandoned: the service is stopping");
  } catch (const std::exception& e) {
    threadLog("Error in checking: " + logSafe(e.what()));
    if (attempted) failed(version);
  }
  return attempted;
}

}  // namespace kn
