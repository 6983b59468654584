// System facts from Linux sources: the host name, the passwd database and the root file system.
// registeredOwner() and registeredOrganization() and the pure pieces live in KNSysInfo.cpp.
#include <netdb.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

#include "KNLib.h"
#include "KNSysInfo.h"

namespace kn {

namespace {

std::string hostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

std::string nisDomainName() {
  char buf[256] = {};
  if (::getdomainname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

// The host's canonical name from the resolver; "" when it has none.
std::string canonicalName(const std::string& host) {
  if (host.empty()) return "";
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return "";
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, &::freeaddrinfo);
  return found->ai_canonname ? found->ai_canonname : "";
}

}  // namespace

std::string computerName() { return sysinfo::shortComputerName(hostName()); }

std::string userName() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  while (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return found && found->pw_name ? found->pw_name : "";
}

std::string accountDomainName() {
  std::string user = userName();
  if (user.empty()) return "";
  std::string passwdText;
  try {
    passwdText = readFileBytes("/etc/passwd", 64u << 20);
  } catch (const Exception&) {
    // Without the local list every account counts as a directory account.
  }
  std::string computer = computerName();
  if (sysinfo::isLocalAccount(passwdText, user)) return computer;
  std::string host = hostName();
  std::string domain = sysinfo::machineDomain(nisDomainName(), host, "");
  if (domain.empty()) domain = sysinfo::machineDomain("", "", canonicalName(host));
  return domain.empty() ? computer : domain;
}

std::string volumeSerialNumber(char drive) {
  if (drive != 'C' && drive != 'c') return "";
  struct statvfs st;
  if (::statvfs("/", &st) != 0) return "";
  return sysinfo::formatVolumeSerial(static_cast<std::uint32_t>(st.f_fsid));
}

}  // namespace kn
