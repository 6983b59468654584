// Application-data folders on Linux: /var/lib and the XDG folders; hidden means mode 0700.
#include <sys/stat.h>

#include "KNEnv.h"
#include "KNEnvLinux.h"
#include "knAppDataFolders.h"

namespace kn {

std::string shellFolder(ShellFolder which) {
  switch (which) {
    case ShellFolder::CommonAppData:
      return underSysRoot("/var/lib");
    case ShellFolder::LocalAppData:
      return xdgDataHome();
    case ShellFolder::RoamingAppData:
      break;
  }
  return xdgConfigHome();
}

void hideFolder(const std::string& folder) { (void)::chmod(folder.c_str(), 0700); }

void hideFile(const std::string& file) { (void)::chmod(file.c_str(), 0600); }

}  // namespace kn
