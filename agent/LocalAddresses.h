// The machine's local IP addresses, as the mini-audit reports them.
#pragma once

#include <string>
#include <vector>

namespace kn {

// One address of one interface as the network stack lists it.
struct ListedAddress {
  std::string text;  // "192.168.1.10", "fe80::1"
  bool ipv4 = false;
  bool up = false;
  bool loopback = false;
};

// The addresses of interfaces that are up, loopback excluded, IPv4 first; otherwise in the order
// given, each address once.
std::vector<std::string> selectLocalAddresses(const std::vector<ListedAddress>& all);

// The local addresses from the network stack (getifaddrs). Throws EOSError when it cannot list them.
std::vector<std::string> localIPAddresses();

}  // namespace kn
