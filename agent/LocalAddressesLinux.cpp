// Local addresses from getifaddrs.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>

#include "KNLib.h"
#include "LocalAddresses.h"

namespace kn {

std::vector<std::string> localIPAddresses() {
  ifaddrs* head = nullptr;
  if (::getifaddrs(&head) != 0) throwOSError("Cannot list the network interfaces", errno);
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(head, ::freeifaddrs);

  std::vector<ListedAddress> all;
  for (const ifaddrs* i = head; i; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char buf[INET6_ADDRSTRLEN] = {};
    const void* raw =
        family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr);
    if (!::inet_ntop(family, raw, buf, sizeof buf)) continue;
    all.push_back({buf, family == AF_INET, (i->ifa_flags & IFF_UP) != 0, (i->ifa_flags & IFF_LOOPBACK) != 0});
  }
  return selectLocalAddresses(all);
}

}  // namespace kn
