// The registry on Linux: one hive file per root (KNRegistryHive.h gives the format).
#pragma once

#include <memory>
#include <string>

#include "KNOs.h"
#include "KNRegistry.h"

namespace kn {

// Where the hive of `root` lives: HKLM $KN_SYSROOT/etc/kestrane/HKLM.reg, HKCU
// ${XDG_CONFIG_HOME:-$HOME/.config}/kestrane/HKCU.reg (computed at every call).
std::string hiveFilePath(RegRoot root);

// The hive-file registry over `sys` (newSystemRegistry() is this over os()); tests pass a seam that
// fails chosen calls.
std::shared_ptr<TRegistry> newHiveFileRegistry(Os& sys);

}  // namespace kn
