// The system's application-data folders behind TKNAppData, one half per platform.
//
//   CommonAppData   Linux: $KN_SYSROOT/var/lib                  Windows: ProgramData
//   LocalAppData    Linux: ${XDG_DATA_HOME:-$HOME/.local/share}  Windows: LocalAppData
//   RoamingAppData  Linux: ${XDG_CONFIG_HOME:-$HOME/.config}     Windows: RoamingAppData
#pragma once

#include <string>

namespace kn {

enum class ShellFolder { CommonAppData, LocalAppData, RoamingAppData };

// The folder's path, possibly with a trailing separator.
std::string shellFolder(ShellFolder which);

// Makes `folder` private to its owner (Linux: mode 0700; Windows: the hidden attribute). A failure
// is ignored.
void hideFolder(const std::string& folder);
// The same for a file (Linux: mode 0600; Windows: the hidden attribute, added to those it has).
// Windows drops the attribute when a file is replaced, so a writer marks the file again after each
// write. A failure is ignored.
void hideFile(const std::string& file);

}  // namespace kn
