// The portable facts: the registered owner and organisation (administrator-set values of HKLM)
// and the pure pieces of the system-specific answers.
#include "KNRegistry.h"
#include "KNSysInfo.h"

#include <algorithm>
#include <cstdio>

#include "KNLib.h"

namespace kn {

namespace sysinfo {

std::string shortComputerName(std::string_view hostName) {
  return std::string(hostName.substr(0, std::min<size_t>(hostName.find('.'), 15)));
}

bool isLocalAccount(std::string_view passwdText, std::string_view userName) {
  if (userName.empty()) return false;
  for (const std::string& line : splitLines(passwdText)) {
    std::string_view l = line;
    if (l.size() > userName.size() && l.starts_with(userName) && l[userName.size()] == ':') return true;
  }
  return false;
}

std::string machineDomain(std::string_view nisDomain, std::string_view hostName, std::string_view fqdn) {
  if (!nisDomain.empty() && nisDomain != "(none)") return std::string(nisDomain);
  for (std::string_view name : {hostName, fqdn}) {
    size_t dot = name.find('.');
    if (dot != std::string_view::npos && dot + 1 < name.size()) return std::string(name.substr(dot + 1));
  }
  return "";
}

std::string formatVolumeSerial(std::uint32_t serial) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X-%04X", serial >> 16, serial & 0xFFFF);
  return buf;
}

}  // namespace sysinfo

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
