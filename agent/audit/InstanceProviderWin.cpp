// stub: WMI
#include "InstanceProvider.h"
#include "InstanceProviderDevices.h"
namespace kn {
std::unique_ptr<InstanceProvider> createInstanceProvider(InstanceProviderOptions) {
  throw EWMIError("not built yet");
}
std::vector<devsrc::Package> devices::installedOtherSoftware() { return {}; }
}  // namespace kn
