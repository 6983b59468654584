#include "InventoryPolicy.h"

#include <algorithm>
#include <cctype>

#include "KNRegistry.h"
#include "knLOG2.h"

namespace kn {

bool extendedInventoryPolicy(const std::string& appName) {
  try {
    for (const RegValue& v : registry()->values(RegRoot::LocalMachine, "Software\\Policies\\" + appName)) {
      std::string name = v.name;
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      if (name == "extendedinventory") return !(v.type == RegType::DWord && v.number == 0);
    }
  } catch (const std::exception& e) {
    logException(e, "ExtendedInventory policy");
  }
  return true;
}

bool isExtendedInventoryClass(const std::string& className) {
  static const char* const kClasses[] = {"Win32_ComputerSystem", "Win32_PnPEntity", "Win32_DesktopMonitor",
                                         "Win32_NetworkAdapter", "Win32_DiskPartition"};
  return std::any_of(std::begin(kClasses), std::end(kClasses), [&](const char* c) {
    return std::equal(
        className.begin(), className.end(), c, c + std::char_traits<char>::length(c), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
  });
}

}  // namespace kn
