// Control of other services: the stand-in for the service manager's query, stop and start of a
// service named by text, as the updater uses it around an update.
//
// An interface so that tests can replace the system's service manager: the real implementation
// (KNServiceControlLinux.cpp) runs systemctl; KNServiceControlFake.h answers from a table and
// records what it was asked. Every operation is self-contained, leaves nothing open behind it and
// never throws: a failure is the state 0 or false. Any thread may call the operations.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace kn {

// Service state codes, as the updater logs them.
inline constexpr int kServiceUnknown = 0;  // no such service, or the state could not be read
inline constexpr int kServiceStopped = 1;
inline constexpr int kServiceStartPending = 2;
inline constexpr int kServiceStopPending = 3;
inline constexpr int kServiceRunning = 4;

class IServiceControl {
 public:
  virtual ~IServiceControl() = default;

  // The current state code of the service `name`; kServiceUnknown for an unknown service or
  // any failure.
  virtual int queryState(const std::string& name) noexcept = 0;
  // Asks the service to stop, without waiting for it; true when the request was accepted.
  virtual bool requestStop(const std::string& name) noexcept = 0;
  // Asks the service to start (no arguments), without waiting for it; true when accepted.
  virtual bool requestStart(const std::string& name) noexcept = 0;
};

// The process-wide service control: the system's, unless setServiceControl replaced it.
IServiceControl& serviceControl();

// Makes `control` (not owned; it must outlive its use) the process-wide service control;
// nullptr restores the system's. Meant for tests and start-up: call it while no other thread
// uses serviceControl().
void setServiceControl(IServiceControl* control);

// The system's service control: runs the program named by $KN_SYSTEMCTL (default "systemctl")
//   show -p ActiveState --value <name>   inactive/failed 1, activating 2, deactivating 3,
//                                        active/reloading 4, anything else 0
//   stop --no-block <name>, start --no-block <name>   accepted when it exits with status 0
// as an argument vector, never through a shell. An "inactive" unit whose LoadState is
// "not-found" is unknown (0). A run that has not ended after `timeout` is killed and fails.
// Names that are empty, begin with "-" or hold control characters are refused without running
// anything (they could be taken for options). The process must not ignore SIGCHLD, or no run's
// exit status can be collected and every operation fails.
std::unique_ptr<IServiceControl> newSystemServiceControl(
    std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace kn
