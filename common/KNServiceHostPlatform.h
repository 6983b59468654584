// The service host's platform half, called by runServiceApplication once the command line and
// the registration are checked (KNServiceHostLinux.cpp: systemd; KNServiceHostWin.cpp: the
// Service Control Manager). Each returns the process's exit code, having written its messages.
#pragma once

#include "KNServiceHost.h"

namespace kn::detail {

int installService(ServiceModule& module, const ServiceRegistration& reg, bool silent);
int uninstallService(ServiceModule& module, const ServiceRegistration& reg, bool silent);
// Runs the service until it ends.
int runService(ServiceModule& module);

}  // namespace kn::detail
