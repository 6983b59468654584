// What the systemd service host writes, for its tests.
#pragma once

#include <string>

#include "KNServiceHost.h"

namespace kn {

// The systemd unit that install writes for `program` (an absolute path). The display name is made
// safe for a unit file (control characters become spaces, "%" is doubled) and the path is quoted
// where systemd would otherwise split or expand it.
std::string serviceUnitText(const ServiceRegistration& reg, const std::string& program);

}  // namespace kn
