// The agent's service host: start-up code (main) and the service "ZARODIRazev", which owns the
// agent's one working thread, TITAuditMain. The module only creates, starts and stops it.
//
//   start()    creates the main thread suspended; a failure is logged and raised, so the process
//              ends with exit code 1 before systemd sees it ready: an agent never runs silent
//   execute()  starts the main thread and waits for control requests; after a stop it asks a
//              remaining main thread to end and waits 5 s (divided by KN_TIME_SCALE)
//   stop()     asks the main thread to end, abandons the remote exchange in progress (the
//              process-wide channel stop flag), then destroys the thread: wait for its loop, release
//
// A stop thus takes about a second to abandon an exchange plus the 5 s wait; the unit allows
// kStopTimeoutMs before systemd kills what is left.
//
// Every line goes to the daily log named after the module's class, "TZARODIRazev".
#pragma once

#include <memory>

#include "ITAuditMain.h"
#include "KNServiceHost.h"

namespace kn {

class TZARODIRazev : public ServiceModule {
 public:
  // TimeoutStopSec of the unit. A stop needs about 6 s (the 5 s wait and up to a second for the
  // channel to abandon an exchange); 30 s leaves room for a slow or loaded machine and still ends
  // a stuck agent a minute before systemd's 90 s default would, so a shutdown is never held long.
  static constexpr int kStopTimeoutMs = 30000;

  // Installs the process-wide stop flag on the RPC channel (cleared); the destructor removes it.
  TZARODIRazev();
  ~TZARODIRazev() override;

  ServiceRegistration registration() override;
  bool start() override;
  void execute(ServiceContext& ctx) override;
  bool stop() override;
  bool hasStopHandler() const override { return true; }

 private:
  std::unique_ptr<TITAuditMain> th;
};

}  // namespace kn
