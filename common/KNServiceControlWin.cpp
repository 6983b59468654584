// The system's service control on Windows: the Service Control Manager.
#include "KNServiceControl.h"

#include <windows.h>

#include <atomic>

#include "KNWinText.h"

namespace kn {
namespace {

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE h) : h_(h) {}
  ~ServiceHandle() {
    if (h_) ::CloseServiceHandle(h_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

class SystemServiceControl : public IServiceControl {
 public:
  int queryState(const std::string& name) noexcept override {
    try {
      ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
      if (!manager) return kServiceUnknown;
      ServiceHandle service(::OpenServiceW(manager.get(), win::wide(name).c_str(), SERVICE_QUERY_STATUS));
      if (!service) return kServiceUnknown;
      SERVICE_STATUS_PROCESS status{};
      DWORD needed = 0;
      if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &needed))
        return kServiceUnknown;
      switch (status.dwCurrentState) {
        case SERVICE_STOPPED:
          return kServiceStopped;
        case SERVICE_START_PENDING:
          return kServiceStartPending;
        case SERVICE_STOP_PENDING:
          return kServiceStopPending;
        case SERVICE_RUNNING:
          return kServiceRunning;
        default:  // paused, pause and continue pending
          return kServiceUnknown;
      }
    } catch (...) {
      return kServiceUnknown;
    }
  }

  bool requestStop(const std::string& name) noexcept override {
    try {
      ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
      if (!manager) return false;
      ServiceHandle service(::OpenServiceW(manager.get(), win::wide(name).c_str(), SERVICE_STOP));
      SERVICE_STATUS status{};
      return service && ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    } catch (...) {
      return false;
    }
  }

  bool requestStart(const std::string& name) noexcept override {
    try {
      ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
      if (!manager) return false;
      ServiceHandle service(::OpenServiceW(manager.get(), win::wide(name).c_str(), SERVICE_START));
      return service && ::StartServiceW(service.get(), 0, nullptr);
    } catch (...) {
      return false;
    }
  }
};

std::atomic<IServiceControl*> replacement{nullptr};

}  // namespace

std::unique_ptr<IServiceControl> newSystemServiceControl(std::chrono::milliseconds) {
  return std::make_unique<SystemServiceControl>();
}

IServiceControl& serviceControl() {
  if (IServiceControl* r = replacement.load()) return *r;
  static const std::unique_ptr<IServiceControl> system = newSystemServiceControl();
  return *system;
}

void setServiceControl(IServiceControl* control) { replacement.store(control); }

}  // namespace kn
