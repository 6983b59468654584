// Hosting a program as a system service: the seam both programs' service modules sit on.
//
// A program implements ServiceModule and hands it to runServiceApplication() from main(). Started
// with an install or uninstall switch, the host registers or removes the service and returns;
// started without one (as the service manager starts it), the host runs the service in the
// foreground until it ends. The service manager is systemd on Linux (KNServiceHostLinux.cpp):
//
//   - install writes $KN_SYSROOT/etc/systemd/system/<name>.service whole (temporary file, rename,
//     mode 0644), then runs "systemctl daemon-reload" and "systemctl enable <name>" through
//     $KN_SYSTEMCTL (default "systemctl"), as an argument vector, never a shell; uninstall runs
//     "systemctl disable <name>", removes the unit file and runs "systemctl daemon-reload";
//   - SIGTERM and SIGINT are the stop control. The signal handler only records the request; the
//     module's stop() runs inside ServiceContext::processRequests() on the execute thread;
//   - with NOTIFY_SOCKET set, the host tells systemd "READY=1" once start() succeeded and
//     "STOPPING=1" when it accepts a stop request.
//
// Threads: start(), execute() and stop() all run on the thread that called
// runServiceApplication() (the program's main thread), one after the other, so a module needs no
// lock for its own fields. Only one service application may run in a process at a time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KNException.h"

namespace kn {

// Raised for a bad service registration (an invalid name) and for conflicting switches.
KN_DECLARE_EXCEPTION(EServiceHostError, Exception);
// A command line that names no action of the program (an unknown switch, a stray word).
KN_DECLARE_EXCEPTION(EServiceUsageError, EServiceHostError);

// What the installation records. The rest is fixed: own process, automatic start, stop accepted,
// no pause, no dependencies, runs as root.
struct ServiceRegistration {
  std::string name;         // letters, digits and underscores, not beginning with a digit
  std::string displayName;  // the unit's Description
  int waitHintMs = 5000;    // how long starting may take (TimeoutStartSec)
  // How long a stop may take before systemd kills what is left (TimeoutStopSec); 0 leaves
  // systemd's default (DefaultTimeoutStopSec, normally 90 s).
  int stopTimeoutMs = 0;
};

// The framework side, handed to ServiceModule::execute(). Call only from the execute thread.
class ServiceContext {
 public:
  virtual ~ServiceContext() = default;
  // True once a stop request was accepted (or a failing stop handler ended the service).
  virtual bool terminated() const = 0;
  // Handles the control requests waiting now, without blocking: a stop request runs the module's
  // stop() and, when it reports true, marks the service terminated.
  virtual void processRequests() = 0;
  // Waits until a control request is waiting or `timeout` has passed, whichever comes first;
  // true when a request is waiting. It handles nothing: call processRequests() next. A module may
  // use it instead of sleeping its tick, so that a stop is noticed at once.
  virtual bool waitForRequest(std::chrono::milliseconds timeout) = 0;
};

// What a program implements. The host calls beforeInstall()/beforeUninstall() with the install
// switches, and start(), execute(), stop() for a run.
class ServiceModule {
 public:
  virtual ~ServiceModule() = default;
  virtual ServiceRegistration registration() = 0;
  virtual void beforeInstall() {}
  virtual void beforeUninstall() {}
  // False (or an exception) ends the run with a failure exit code; execute() is not called.
  virtual bool start() = 0;
  // The service's body; it polls `ctx` at its own pace and returns once ctx.terminated().
  // An exception escaping it is reported as "Service failed on execute: <message>".
  virtual void execute(ServiceContext& ctx) = 0;
  // Runs on a stop request when hasStopHandler(); false refuses the stop and the service runs on.
  virtual bool stop() { return true; }
  virtual bool hasStopHandler() const { return false; }
};

enum class ServiceAction { Run, Install, Uninstall };

struct ServiceSwitches {
  ServiceAction action = ServiceAction::Run;
  bool silent = false;
};

// Reads the switches "INSTALL", "UNINSTALL" and "SILENT", introduced by "/", "-" or "--", in any
// case; the help switches (below) are passed over. Any other argument, and INSTALL with UNINSTALL,
// raise EServiceUsageError. A program may call it before runServiceApplication to skip set-up that
// only a run needs.
ServiceSwitches parseServiceSwitches(const std::vector<std::string>& args);

// True when the arguments hold the switch "HELP", "H" or "?" (same forms as above): the program
// prints serviceUsage() and ends, before any set-up, instead of running the service.
bool helpRequested(int argc, char** argv);
// The command-line help of a service program named `program`.
std::string serviceUsage(const std::string& program);

// The exit code of a program whose command line is settled before any set-up: a help switch prints
// serviceUsage() to standard output (0); an unknown switch or argument prints what is wrong and the
// usage to standard error (kServiceUsageExit), so that nothing is written, logged or started for a
// mistyped command. nullopt: go on.
constexpr int kServiceUsageExit = 2;
std::optional<int> commandLineExit(const std::string& program, int argc, char** argv);

// True for a valid service name: letters, digits and underscores, not beginning with a digit.
bool isValidServiceName(std::string_view name);

// Posts a stop request to the running service application, exactly as SIGTERM does. Any thread
// may call it, a signal handler too; without a running service application it does nothing.
void requestServiceStop();

// Runs the service application and returns the process's exit code: 0 after a successful install,
// uninstall or run; 1 after any failure, whose message has gone to standard error (the stand-in
// for the system event log). Success messages go to standard output unless SILENT is given.
int runServiceApplication(ServiceModule& module, int argc, char** argv);

}  // namespace kn
