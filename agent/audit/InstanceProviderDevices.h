// The software that the extended inventory adds beside the system's own package database: on Linux
// the packages of rpm, snap and flatpak (InstanceProviderLinux.h). The engine appends it to the
// script's "Software" section, since the script cannot list folders nor read SQLite.
#pragma once

#include <vector>

#include "DeviceSources.h"

namespace kn::devices {

// The running system's other software (below auditMachineRoot()), in the order of its sources.
std::vector<devsrc::Package> installedOtherSoftware();

}  // namespace kn::devices
