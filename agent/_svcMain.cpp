// auditagent: the audit agent service.
#include "_svcMain.h"

#include <atomic>
#include <chrono>
#include <iostream>

#include "AuditChild.h"
#include "KNClock.h"
#include "KNEnv.h"
#include "ext.channel.h"
#include "knLOG2.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

const char* const kLogName = "TZARODIRazev";

void log(const std::string& msg) { logTo(kLogName, msg); }

// Set once the service is stopping: every exchange in progress on any channel is abandoned. It
// lives for the whole process, so the channel never holds a pointer to a freed flag.
std::atomic<bool> gStopping{false};

}  // namespace

TZARODIRazev::TZARODIRazev() {
  gStopping = false;
  TExtChannel::setStopFlag(&gStopping);
  log("Create");
}

TZARODIRazev::~TZARODIRazev() { TExtChannel::setStopFlag(nullptr); }

ServiceRegistration TZARODIRazev::registration() {
  return {"ZARODIRazev", "ZARODIRazev", 5000, kStopTimeoutMs};
}

bool TZARODIRazev::start() {
  log("Start:...");
  try {
    th = std::make_unique<TITAuditMain>();
  } catch (const std::exception& e) {
    // A service without its main thread would look active to systemd and do nothing for ever.
    log(std::string("Could not start TITAuditMain thead: ") + logSafe(e.what()));
    throw Exception(std::string("the main thread could not be created: ") + e.what());
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
  if (th) {
    th->Terminate();
    gStopping = true;
  }
  appClock().sleepFor(scaled(5s));
}

bool TZARODIRazev::stop() {
  log("Stop");
  std::unique_ptr<TITAuditMain> thread = std::move(th);
  if (thread) {
    // The loop is told first, so that it takes the abandoned exchange for the stop it is.
    thread->Terminate();
    gStopping = true;
  }
  thread.reset();  // waits for the loop; ~TITAuditMain logs and swallows its own failures
  return true;
}

}  // namespace kn

namespace {

// The identity, endpoint and key are settled before the service runs; a machine whose identity
// cannot be established never reaches the running state. Installing and removing the service
// need none of it, so a broken "endpoint.ini" cannot block them.
bool needsIdentity(int argc, char** argv) {
  try {
    auto switches =
        kn::parseServiceSwitches(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    return switches.action == kn::ServiceAction::Run;
  } catch (const std::exception&) {
    return false;  // commandLineExit has refused the command line already
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (kn::isAuditChildProcess()) return kn::auditChildMain(argc, argv);
  // Nothing is written before the command line is known to be the program's: then the log's
  // files first, and everything that reads a file of the machine ("endpoint.ini", the hives,
  // "PCID.ini"), where a failure is reported and ends the process with exit code 1.
  if (auto rc = kn::commandLineExit("auditagent", argc, argv)) return *rc;
  kn::initLog(kn::LogStyle::Agent);
  kn::setLogTimestamps(true);
  if (needsIdentity(argc, argv)) {
    try {
      kn::loadAppGlobalDefaults();
      kn::initAppGlobals("zarodirazev");
    } catch (const std::exception& e) {
      kn::logException(e, "initAppGlobals");
      std::cerr << "auditagent: " << e.what() << std::endl;
      return 1;
    }
  }
  kn::TZARODIRazev module;
  return kn::runServiceApplication(module, argc, argv);
}
