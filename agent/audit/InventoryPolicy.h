// The "ExtendedInventory" policy: whether the audit document carries the classes appended after the
// first 30 of the class list and the software outside dpkg.
//
// A platform that accepts only the 30 classes gets them alone when an administrator sets
//   [HKEY_LOCAL_MACHINE\Software\Policies\<application name>]
//   "ExtendedInventory"=dword:00000000
// Any other value, or none, leaves the extended inventory in.
#pragma once

#include <string>

namespace kn {

// True unless the policy key of `appName` holds "ExtendedInventory" as the dword 0. A hive that
// cannot be read counts as no policy (and is logged).
bool extendedInventoryPolicy(const std::string& appName);

// The classes of the extended inventory (compared without regard to letter case).
bool isExtendedInventoryClass(const std::string& className);

}  // namespace kn
