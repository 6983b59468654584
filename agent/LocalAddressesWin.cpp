// Local addresses from GetAdaptersAddresses.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <string>

#include "KNLib.h"
#include "LocalAddresses.h"

namespace kn {

std::vector<std::string> localIPAddresses() {
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list's size is known only by asking; it may grow between the two calls.
  std::string buffer(16 * 1024, '\0');
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    rc = ::GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc == ERROR_NO_DATA) return {};
  if (rc != NO_ERROR) throwOSError("Cannot list the network interfaces", static_cast<int>(rc));

  std::vector<ListedAddress> all;
  for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    const bool up = a->OperStatus == IfOperStatusUp;
    const bool loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || (sa->sa_family != AF_INET && sa->sa_family != AF_INET6)) continue;
      char text[INET6_ADDRSTRLEN] = {};
      const void* raw = sa->sa_family == AF_INET
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
      if (!::inet_ntop(sa->sa_family, raw, text, sizeof text)) continue;
      all.push_back({text, sa->sa_family == AF_INET, up, loopback});
    }
  }
  return selectLocalAddresses(all);
}

}  // namespace kn
