// The registered owner and organisation: administrator-set values of the HKLM hive.
#include "KNRegistry.h"
#include "KNSysInfo.h"

namespace kn {
namespace {

std::string currentVersionValue(const char* name) {
  try {
    return registry()
        ->readString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name)
        .value_or("");
  } catch (const std::exception&) {
    return "";  // an unreadable or malformed hive, or a value of another type
  }
}

}  // namespace

std::string registeredOwner() { return currentVersionValue("RegisteredOwner"); }

std::string registeredOrganization() { return currentVersionValue("RegisteredOrganization"); }

}  // namespace kn
