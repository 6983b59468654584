// A service control for tests: answers from a table of scripted services and records every call.
//
//   FakeServiceControl fake;
//   fake.addService("app1", {.state = kServiceRunning, .stopQueries = 2});
//   ScopedServiceControl use(fake);   // serviceControl() is the fake until `use` ends
//   ... code under test ...
//   EXPECT_EQ(fake.calls(), (std::vector<std::string>{"stop app1", "query app1", ...}));
//
// A service that is asked to stop answers "stop pending" to its next `stopQueries` queries and
// "stopped" after that; -1 keeps it stop pending for ever (a service that never stops). Starting
// works the same way with `startQueries`. A service not in the table is unknown: state 0, requests
// refused. Thread-safe, so several update threads may share one fake.
#pragma once

#include "KNServiceControl.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kn {

struct FakeService {
  int state = kServiceStopped;
  bool acceptStop = true;   // requestStop's answer
  bool acceptStart = true;  // requestStart's answer
  int stopQueries = 0;      // queries answered "stop pending" after a stop; -1 for ever
  int startQueries = 0;     // queries answered "start pending" after a start; -1 for ever
};

class FakeServiceControl : public IServiceControl {
 public:
  void addService(const std::string& name, FakeService service = {}) {
    std::lock_guard lock(mutex_);
    services_[name] = Entry{service, 0, kServiceUnknown};
  }

  int queryState(const std::string& name) noexcept override {
    std::lock_guard lock(mutex_);
    calls_.push_back("query " + name);
    auto it = services_.find(name);
    if (it == services_.end()) return kServiceUnknown;
    Entry& e = it->second;
    if (e.target != kServiceUnknown) {
      if (e.pending == 0) {
        e.s.state = e.target;
        e.target = kServiceUnknown;
      } else if (e.pending > 0) {
        --e.pending;
      }
    }
    return e.s.state;
  }

  bool requestStop(const std::string& name) noexcept override {
    return request("stop ", name, &FakeService::acceptStop, kServiceStopPending, kServiceStopped,
                   &FakeService::stopQueries);
  }

  bool requestStart(const std::string& name) noexcept override {
    return request("start ", name, &FakeService::acceptStart, kServiceStartPending, kServiceRunning,
                   &FakeService::startQueries);
  }

  // Every call so far, in order: "query <name>", "stop <name>", "start <name>".
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  // The state the service has now, without counting as a query.
  int state(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = services_.find(name);
    return it == services_.end() ? kServiceUnknown : it->second.s.state;
  }

 private:
  struct Entry {
    FakeService s;
    int pending;  // queries still to answer with the pending state; -1 for ever
    int target;   // the state reached after them; kServiceUnknown when no change is under way
  };

  bool request(const char* verb, const std::string& name, bool FakeService::*accept, int pendingState,
               int finalState, int FakeService::*queries) noexcept {
    std::lock_guard lock(mutex_);
    calls_.push_back(verb + name);
    auto it = services_.find(name);
    if (it == services_.end() || !(it->second.s.*accept)) return false;
    Entry& e = it->second;
    if (e.s.state == finalState) return true;
    e.pending = e.s.*queries;
    e.target = finalState;
    e.s.state = e.pending == 0 ? finalState : pendingState;
    if (e.pending == 0) e.target = kServiceUnknown;
    return true;
  }

  mutable std::mutex mutex_;
  std::map<std::string, Entry> services_;
  std::vector<std::string> calls_;
};

// Makes `control` the process-wide service control for the lifetime of this object.
class ScopedServiceControl {
 public:
  explicit ScopedServiceControl(IServiceControl& control) { setServiceControl(&control); }
  ~ScopedServiceControl() { setServiceControl(nullptr); }
  ScopedServiceControl(const ScopedServiceControl&) = delete;
  ScopedServiceControl& operator=(const ScopedServiceControl&) = delete;
};

}  // namespace kn
