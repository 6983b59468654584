// The service host on the Service Control Manager: CreateServiceW and DeleteService for the
// install switches; the dispatcher, a control handler and SetServiceStatus with the registration's
// wait hints for a run. Started outside the service manager (from a console), the program runs in
// the foreground and Ctrl+C is its stop control.
//
// Threads: under the service manager, the dispatcher holds the main thread and start(), execute()
// and stop() all run on the service's own thread, one after the other.
#include <windows.h>

#include <atomic>
#include <iostream>
#include <mutex>

#include "KNEnv.h"
#include "KNOs.h"
#include "KNServiceHost.h"
#include "KNServiceHostPlatform.h"
#include "KNServiceHandleWin.h"
#include "KNWinText.h"

namespace kn {

namespace {

using win::ServiceHandle;

std::string lastErrorText() { return os().errorText(static_cast<int>(::GetLastError())); }

// "Service failed on <place>: <message>" to standard error and to the Application event log,
// under the service's name as the event source.
void reportFailure(const std::string& service, const std::string& place, const std::string& message) {
  std::string line = "Service failed on " + place + ": " + message;
  std::cerr << line << std::endl;
  HANDLE source = ::RegisterEventSourceW(nullptr, win::wide(service).c_str());
  if (!source) return;
  std::wstring text = win::wide(line);
  const wchar_t* strings[] = {text.c_str()};
  ::ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(source);
}

// ---- install and uninstall ------------------------------------------------------------------

// The image path as the service manager starts it: always in quotes, so that a path with a blank
// ("C:\Program Files\...") can never be read as "C:\Program.exe" with arguments.
std::wstring imagePath(const std::string& program) { return L"\"" + win::wide(program) + L"\""; }

int install(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  const std::string program = exePath();
  try {
    if (program.empty()) throw EServiceHostError("the program's own path is unknown");
    module.beforeInstall();
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) throw EServiceHostError("cannot open the service manager: " + lastErrorText());
    ServiceHandle service(::CreateServiceW(manager.get(), win::wide(reg.name).c_str(),
                                           win::wide(reg.displayName).c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                           imagePath(program).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) throw EServiceHostError("cannot create the service: " + lastErrorText());
    std::wstring description = win::wide(reg.displayName);
    SERVICE_DESCRIPTIONW desc{description.data()};
    ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &desc);
    // Restarted after a failure: at once, after a minute, then every five minutes; the count of
    // failures starts again after a day without one.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 300000}};
    SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, actions};
    ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  } catch (const std::exception& e) {
    std::cerr << "Service " << reg.name << ": " << e.what() << std::endl;
    return 1;
  }
  if (!silent) std::cout << "Service installed successfully" << std::endl;
  return 0;
}

int uninstall(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  try {
    module.beforeUninstall();
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) throw EServiceHostError("cannot open the service manager: " + lastErrorText());
    ServiceHandle service(
        ::OpenServiceW(manager.get(), win::wide(reg.name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
      if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) throw EServiceHostError("not installed");
      throw EServiceHostError("cannot open the service: " + lastErrorText());
    }
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);  // a stopped service refuses: fine
    if (!::DeleteService(service.get())) throw EServiceHostError("cannot delete the service: " + lastErrorText());
  } catch (const std::exception& e) {
    std::cerr << "Service " << reg.name << ": " << e.what() << std::endl;
    return 1;
  }
  if (!silent) std::cout << "Service uninstalled successfully" << std::endl;
  return 0;
}

// ---- stop requests --------------------------------------------------------------------------

// A stop request from the service manager, Ctrl+C or requestServiceStop(): a flag and an event
// that the execute thread waits on. The event is made once and kept for the life of the process.
std::atomic<bool> gStopRequested{false};
std::atomic<bool> gHosting{false};
HANDLE stopEvent() {
  static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

bool takeRequest() {
  ::ResetEvent(stopEvent());
  return gStopRequested.exchange(false);
}

// ---- the running service --------------------------------------------------------------------

// What the service manager is told, and when.
class StatusReporter {
 public:
  explicit StatusReporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}

  void report(DWORD state, DWORD waitHintMs = 0, DWORD exitCode = NO_ERROR) {
    if (!handle_) return;
    std::lock_guard lock(mu_);
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.dwWin32ExitCode = exitCode;
    s.dwWaitHint = waitHintMs;
    s.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++checkPoint_;
    ::SetServiceStatus(handle_, &s);
  }

 private:
  SERVICE_STATUS_HANDLE handle_;
  std::mutex mu_;
  DWORD checkPoint_ = 0;
};

class HostContext : public ServiceContext {
 public:
  HostContext(ServiceModule& module, const ServiceRegistration& reg, StatusReporter& status)
      : module_(module), reg_(reg), status_(status) {}

  bool terminated() const override { return terminated_; }

  void processRequests() override {
    if (!takeRequest() || terminated_) return;
    status_.report(SERVICE_STOP_PENDING, stopHint());
    if (!module_.hasStopHandler()) {
      terminated_ = true;
      return;
    }
    try {
      terminated_ = module_.stop();
    } catch (const std::exception& e) {
      // The process must still end: a service that cannot stop cleanly is ended as failed.
      reportFailure(reg_.name, "stop", e.what());
      terminated_ = failed_ = true;
      return;
    }
    if (!terminated_) status_.report(SERVICE_RUNNING);  // the module refused; it runs on
  }

  bool waitForRequest(std::chrono::milliseconds timeout) override {
    if (gStopRequested.load()) return true;
    auto ms = timeout.count();
    ::WaitForSingleObject(stopEvent(), ms <= 0 ? 0 : ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
    return gStopRequested.load();
  }

  bool failed() const { return failed_; }
  DWORD stopHint() const { return reg_.stopTimeoutMs > 0 ? static_cast<DWORD>(reg_.stopTimeoutMs) : 30000; }

 private:
  ServiceModule& module_;
  const ServiceRegistration& reg_;
  StatusReporter& status_;
  bool terminated_ = false;
  bool failed_ = false;
};

// Start, execute and the end, reported to `status`; the exit code.
int runModule(ServiceModule& module, const ServiceRegistration& reg, StatusReporter& status) {
  takeRequest();  // forget a request left over from an earlier run
  status.report(SERVICE_START_PENDING, static_cast<DWORD>(reg.waitHintMs > 0 ? reg.waitHintMs : 5000));
  try {
    if (!module.start()) {
      reportFailure(reg.name, "start", "the service did not start");
      status.report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR);
      return 1;
    }
  } catch (const std::exception& e) {
    reportFailure(reg.name, "start", e.what());
    status.report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR);
    return 1;
  }
  status.report(SERVICE_RUNNING);
  HostContext ctx(module, reg, status);
  int code = 0;
  try {
    module.execute(ctx);
    code = ctx.failed() ? 1 : 0;
  } catch (const std::exception& e) {
    reportFailure(reg.name, "execute", e.what());
    code = 1;
  } catch (...) {
    reportFailure(reg.name, "execute", "unknown exception");
    code = 1;
  }
  status.report(SERVICE_STOPPED, 0, code ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR);
  return code;
}

// What the dispatcher's callbacks reach: they take no context argument of ours.
struct Dispatched {
  ServiceModule* module = nullptr;
  ServiceRegistration reg;
  int exitCode = 1;
};
Dispatched gDispatched;

DWORD WINAPI controlHandler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      requestServiceStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI serviceMain(DWORD, wchar_t**) {
  SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(win::wide(gDispatched.reg.name).c_str(), controlHandler, nullptr);
  if (!handle) {
    reportFailure(gDispatched.reg.name, "start", "cannot register the control handler: " + lastErrorText());
    return;
  }
  StatusReporter status(handle);
  gDispatched.exitCode = runModule(*gDispatched.module, gDispatched.reg, status);
}

BOOL WINAPI consoleHandler(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    requestServiceStop();
    return TRUE;
  }
  return FALSE;
}

int runInForeground(ServiceModule& module) {
  if (gHosting.exchange(true)) {
    std::cerr << "a service application is already running" << std::endl;
    return 1;
  }
  struct Done {
    ~Done() { gHosting.store(false); }
  } done;
  gDispatched.module = &module;
  gDispatched.reg = module.registration();
  std::wstring name = win::wide(gDispatched.reg.name);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherW(table)) return gDispatched.exitCode;
  if (::GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    reportFailure(gDispatched.reg.name, "start", "the service dispatcher failed: " + lastErrorText());
    return 1;
  }
  // Not started by the service manager: a console run, stopped by Ctrl+C.
  ::SetConsoleCtrlHandler(consoleHandler, TRUE);
  StatusReporter none(nullptr);
  int code = runModule(module, gDispatched.reg, none);
  ::SetConsoleCtrlHandler(consoleHandler, FALSE);
  return code;
}

}  // namespace

void requestServiceStop() {
  if (!gHosting.load()) return;
  gStopRequested.store(true);
  ::SetEvent(stopEvent());
}

std::string serviceUsage(const std::string& program) {
  return "Usage: " + program +
         " [/INSTALL | /UNINSTALL] [/SILENT]\n"
         "\n"
         "Without a switch the program runs as its service; the Service Control Manager starts it so.\n"
         "Started from a console it runs in the foreground until Ctrl+C. Switches begin with \"/\", \"-\"\n"
         "or \"--\", in any letter case:\n"
         "  /INSTALL    register the service (automatic start, LocalSystem, restarted after a failure)\n"
         "  /UNINSTALL  stop the service and remove its registration\n"
         "  /SILENT     with /INSTALL or /UNINSTALL: print nothing on success\n"
         "  /HELP       print this text\n";
}

namespace detail {

int installService(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  return install(module, reg, silent);
}

int uninstallService(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  return uninstall(module, reg, silent);
}

int runService(ServiceModule& module) { return runInForeground(module); }

}  // namespace detail

}  // namespace kn
