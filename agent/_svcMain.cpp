// auditagent: the audit agent service.
#include "_svcMain.h"

#include <chrono>
#include <iostream>

#include "AuditChild.h"
#include "KNClock.h"
#include "KNEnv.h"
#include "knLOG2.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

const char* const kLogName = "TZARODIRazev";

void log(const std::string& msg) { logTo(kLogName, msg); }

// Static initialisation: the log's files, then the identity's defaults and "endpoint.ini".
struct StaticInit {
  StaticInit() {
    if (isAuditChildProcess()) return;  // the audit child reads no settings and writes no log
    initLog(LogStyle::Agent);
    loadAppGlobalDefaults();
  }
} staticInit;

}  // namespace

TZARODIRazev::TZARODIRazev() { log("Create"); }

TZARODIRazev::~TZARODIRazev() = default;

ServiceRegistration TZARODIRazev::registration() { return {"ZARODIRazev", "ZARODIRazev", 5000}; }

bool TZARODIRazev::start() {
  log("Start:...");
  try {
    th = std::make_unique<TITAuditMain>();
  } catch (const std::exception& e) {
    log(std::string("Could not start TITAuditMain thead: ") + e.what());
  }
  log("Start: OK");
  return true;
}

void TZARODIRazev::execute(ServiceContext& ctx) {
  struct Done {
    ~Done() { log("ServiceExecute: done"); }
  } done;
  log("ServiceExecute");
  log("Starting thread...");
  if (th) th->Start();
  log("Starting thread OK");
  // A control request ends the wait at once, so the wait may be long: the process stays asleep
  // while it has nothing to do.
  while (!ctx.terminated()) {
    ctx.waitForRequest(60s);
    ctx.processRequests();
  }
  log("Service terminated=true");
  log("Terminating thread and wating for 5 seconds");
  if (th) th->Terminate();
  appClock().sleepFor(scaled(5s));
}

bool TZARODIRazev::stop() {
  log("Stop");
  try {
    std::unique_ptr<TITAuditMain> thread = std::move(th);
    thread.reset();
  } catch (...) {
    // The stop completes whatever releasing the thread raised.
  }
  return true;
}

}  // namespace kn

int main(int argc, char** argv) {
  if (kn::isAuditChildProcess()) return kn::auditChildMain(argc, argv);
  kn::setLogTimestamps(true);
  try {
    kn::initAppGlobals("zarodirazev");
  } catch (const std::exception& e) {
    // The service never reaches the dispatcher without an identity.
    kn::logException(e, "initAppGlobals");
    std::cerr << "auditagent: " << e.what() << std::endl;
    return 1;
  }
  kn::TZARODIRazev module;
  return kn::runServiceApplication(module, argc, argv);
}
