// The agent's service host: start-up code (main) and the service "ZARODIRazev", which owns the
// agent's one working thread, TITAuditMain. The module only creates, starts and stops it.
//
//   start()    creates the main thread suspended; a failure is logged and the service runs on
//              with no main thread (doing nothing until it is stopped)
//   execute()  starts the main thread and polls for control requests every 500 ms; after a stop
//              it asks a remaining main thread to end and waits 5 s (divided by KN_TIME_SCALE)
//   stop()     destroys the main thread: terminate, wait for its loop, release
//
// Every line goes to the daily log named after the module's class, "TZARODIRazev".
#pragma once

#include <memory>

#include "ITAuditMain.h"
#include "KNServiceHost.h"

namespace kn {

class TZARODIRazev : public ServiceModule {
 public:
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
