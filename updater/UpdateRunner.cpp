#include "UpdateRunner.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "KNEnv.h"
#include "knLOG2.h"

namespace kn {

using namespace std::chrono_literals;
using nlohmann::json;

TUpdateRunner::TUpdateRunner(bool debug, const TUpdaterConfig& cfg, std::string folder)
    : debug_(debug), cfg_(cfg), folder_(std::move(folder)) {}

TUpdateRunner::~TUpdateRunner() {
  // Ask all first, so that the threads wind down together rather than one after the other.
  for (auto& [name, thread] : tl_) thread->terminate();
  tl_.clear();
}

void TUpdateRunner::dbg(const std::string& s) const {
  if (debug_)
    std::printf("%s\n", s.c_str());
  else
    logTo("TUpdateRunner", s);
}

void TUpdateRunner::execute() {
  std::vector<AppOwner> owners;
  for (const auto& [name, position] : cfg_.monitoredApps()) {
    const json& entry = cfg_.getAppConfig(name);
    owners.push_back({configText(entry, "exe"), configText(entry, "appid"), configText(entry, "service")});
  }
  for (const auto& [name, position] : cfg_.monitoredApps()) {
    const json& entry = cfg_.getAppConfig(name);
    auto interval = static_cast<int>(std::min<long long>(configInteger(entry, "interval"), INT32_MAX));
    auto thread = std::make_unique<TUpdaterThread>(configText(entry, "exe"), configText(entry, "appid"),
                                                   configText(entry, "service"), interval, false, folder_);
    thread->setOwners(owners);
    dbg("Created thread for " + logSafe(name));
    tl_.emplace_back(name, std::move(thread));
  }
  // All start at once, their first checks 250 ms apart (scaled), so that a stop is never kept
  // waiting behind the start of many threads.
  std::chrono::milliseconds offset{0};
  for (auto& [name, thread] : tl_) {
    try {
      thread->setFirstCheckDelay(offset);
      thread->start();
    } catch (const std::exception& e) {
      dbg("ERROR: " + logSafe(e.what()));
      continue;
    }
    offset += scaled(250ms);
  }
}

void TUpdateRunner::Terminate() {
  for (auto& [name, thread] : tl_) thread->terminate();
  dbg("Waiting 10 seconds for all threads to finish...");
  // Every running check or update gives up within about two seconds; the rest of the 10 s (scaled)
  // is room for a loaded machine, not a fixed wait.
  auto end = std::chrono::steady_clock::now() + scaled(10s);
  auto allEnded = [this] {
    return std::all_of(tl_.begin(), tl_.end(), [](const auto& t) { return t.second->finished(); });
  };
  while (!allEnded() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
}

}  // namespace kn
