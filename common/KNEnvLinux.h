// The user's folders on Linux, where the Windows build has shell folders instead.
#pragma once

#include <string>

namespace kn {

// The home folder: $HOME, else the passwd database's entry for the process's user.
std::string homeDir();
// ${XDG_CONFIG_HOME:-$HOME/.config} and ${XDG_DATA_HOME:-$HOME/.local/share}.
std::string xdgConfigHome();
std::string xdgDataHome();

}  // namespace kn
