#include "InventoryPolicy.h"

#include <algorithm>

#include "KNLib.h"
#include "KNRegistry.h"
#include "knLOG2.h"

namespace kn {

bool extendedInventoryPolicy(const std::string& appName) {
  try {
    for (const RegValue& v : registry()->values(RegRoot::LocalMachine, "Software\\Policies\\" + appName)) {
      if (sameTextIgnoringCase(v.name, "ExtendedInventory"))
        return !(v.type == RegType::DWord && v.number == 0);
    }
  } catch (const std::exception& e) {
    logException(e, "ExtendedInventory policy");
  }
  return true;
}

bool isExtendedInventoryClass(const std::string& className) {
  static const char* const kClasses[] = {"Win32_ComputerSystem", "Win32_PnPEntity", "Win32_DesktopMonitor",
                                         "Win32_NetworkAdapter", "Win32_DiskPartition"};
  return std::any_of(std::begin(kClasses), std::end(kClasses),
                     [&](const char* c) { return sameTextIgnoringCase(className, c); });
}

}  // namespace kn
