// The process-wide service control: the system's own (a platform half), unless a test replaced it.
#include "KNServiceControl.h"

#include <atomic>

namespace kn {
namespace {

std::atomic<IServiceControl*> replacement{nullptr};

}  // namespace

IServiceControl& serviceControl() {
  if (IServiceControl* r = replacement.load()) return *r;
  static const std::unique_ptr<IServiceControl> system = newSystemServiceControl();
  return *system;
}

void setServiceControl(IServiceControl* control) { replacement.store(control); }

}  // namespace kn
