// The parts of the instance provider that every system shares; see InstanceProvider.h.
#include "InstanceProvider.h"

#include <cstdlib>

namespace kn {

std::string auditMachineRoot() {
  const char* value = std::getenv("KN_AUDIT_ROOT");
  std::string root = value ? value : "";
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

}  // namespace kn
