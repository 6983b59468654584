// Fill functions of the network classes: the interfaces' configuration (addresses, gateways, the
// resolver) and the routing table (InstanceProviderLinux.h).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdio>

#include "InstanceProviderLinux.h"
#include "LinuxSources.h"

namespace kn::linuxfill {

using namespace linuxsrc;

std::vector<InterfaceAddress> systemAddresses() {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || !a->ifa_name) continue;
    const int family = a->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char address[INET6_ADDRSTRLEN] = "", mask[INET6_ADDRSTRLEN] = "";
    const auto text = [family](const sockaddr* sa, char* buf) {
      if (!sa) return;
      const void* raw = family == AF_INET
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
      ::inet_ntop(family, raw, buf, INET6_ADDRSTRLEN);
    };
    text(a->ifa_addr, address);
    text(a->ifa_netmask, mask);
    out.push_back({a->ifa_name, address, mask, family == AF_INET6});
  }
  ::freeifaddrs(list);
  return out;
}

void fillNetworkAdapterConfiguration(const Machine& m, Instances& out) {
  const auto addresses = m.addresses();
  const auto routes = parseProcNetRoute(m.read("/proc/net/route").value_or(""));
  const std::string resolv = m.read("/etc/resolv.conf").value_or("");
  const std::vector<std::string> dnsServers = resolvConfNameServers(resolv);
  const std::optional<std::string> dnsDomain = resolvConfDomain(resolv);
  for (const std::string& name : m.list("/sys/class/net")) {
    const std::string dir = "/sys/class/net/" + name + "/";
    if (m.integer(dir + "type") == 772) continue;  // loopback
    const auto index = m.integer(dir + "ifindex");
    std::vector<std::string> ips, subnets, gateways;
    for (const InterfaceAddress& a : addresses) {
      if (a.interface != name) continue;
      ips.push_back(a.address);
      subnets.push_back(a.netmask);
    }
    for (const Route& r : routes)
      if (r.interface == name && r.destination == "0.0.0.0" && r.gateway != "0.0.0.0")
        gateways.push_back(r.gateway);
    const bool ipEnabled = !ips.empty();
    char caption[64];
    std::snprintf(caption, sizeof caption, "[%08lld] ", static_cast<long long>(index.value_or(0)));
    auto& row = out.add();
    row.set("Index", index)
        .set("InterfaceIndex", index)
        .set("Caption", caption + name)
        .set("Description", name)
        .set("SettingID", name)
        .set("ServiceName", mapped(m.link(dir + "device/driver"), baseName))
        .set("MACAddress", mapped(m.line(dir + "address"), upper))
        .set("MTU", m.integer(dir + "mtu"))
        .set("IPEnabled", ipEnabled)
        .set("IPAddress", ips)
        .set("IPSubnet", subnets)
        .set("DefaultIPGateway", gateways);
    if (ipEnabled) {
      row.set("DNSHostName", nonEmpty(m.hostName()))
          .set("DNSDomain", dnsDomain)
          .set("DNSServerSearchOrder", dnsServers);
    }
  }
}

void fillIP4RouteTable(const Machine& m, Instances& out) {
  for (const Route& r : parseProcNetRoute(m.read("/proc/net/route").value_or(""))) {
    if (!(r.flags & 1)) continue;  // RTF_UP
    out.add()
        .set("Destination", r.destination)
        .set("Mask", r.mask)
        .set("NextHop", r.gateway)
        .set("Name", r.destination)
        .set("Caption", r.destination)
        .set("Description", r.destination + " - " + r.mask + " - " + r.gateway)
        .set("InterfaceIndex", m.integer("/sys/class/net/" + r.interface + "/ifindex"))
        .set("Metric1", r.metric)
        .set("Type", r.gateway == "0.0.0.0" ? 3 : 4)
        .set("Information", "0.0.0.0");
  }
}

}  // namespace kn::linuxfill
