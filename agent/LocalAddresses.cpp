#include "LocalAddresses.h"

#include <algorithm>

namespace kn {

std::vector<std::string> selectLocalAddresses(const std::vector<ListedAddress>& all) {
  std::vector<std::string> out;
  for (bool wantV4 : {true, false}) {
    for (const ListedAddress& a : all) {
      if (a.ipv4 != wantV4 || !a.up || a.loopback || a.text.empty()) continue;
      if (std::find(out.begin(), out.end(), a.text) == out.end()) out.push_back(a.text);
    }
  }
  return out;
}

}  // namespace kn
