#include "KNConfig.h"
#include "agent_places.h"

namespace kn::test {

ScratchCompany::ScratchCompany() : name_(scratchCompany()), previous_(configCompany()) { setConfigCompany(name_); }

ScratchCompany::~ScratchCompany() {
  setConfigCompany(previous_);
  removeScratchCompany(name_);
}

}  // namespace kn::test
