// The system's service control on Windows: the Service Control Manager.
#include "KNServiceControl.h"

#include <windows.h>


#include "KNServiceHandleWin.h"
#include "KNWinText.h"

namespace kn {
namespace {

using win::ServiceHandle;

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

}  // namespace

std::unique_ptr<IServiceControl> newSystemServiceControl(std::chrono::milliseconds) {
  return std::make_unique<SystemServiceControl>();
}

}  // namespace kn
