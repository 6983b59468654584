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
  for (const auto& [name, position] : cfg_.monitoredApps()) {
    const json& entry = cfg_.getAppConfig(name);
    auto interval = static_cast<int>(std::min<long long>(configInteger(entry, "interval"), INT32_MAX));
    auto thread = std::make_unique<TUpdaterThread>(configText(entry, "exe"), configText(entry, "appid"),
                                                   configText(entry, "service"), interval, false, folder_);
    dbg("Created thread for " + name);
    tl_.emplace_back(name, std::move(thread));
  }
  for (auto& [name, thread] : tl_) {
    try {
      thread->start();
    } catch (const std::exception& e) {
      dbg("ERROR: " + logSafe(e.what()));
      continue;
    }
    std::this_thread::sleep_for(scaled(250ms));
  }
}

void TUpdateRunner::Terminate() {
  for (auto& [name, thread] : tl_) thread->terminate();
  dbg("Waiting 10 seconds for all threads to finish...");
  std::this_thread::sleep_for(scaled(10s));
}

}  // namespace kn
