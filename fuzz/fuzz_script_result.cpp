// The inventory script's XML result file, imported into the audit document as the audit run
// imports it, then written in the document's ASCII form.
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "InstanceProvider.h"
#include "KNException.h"
#include "WMIAuditor.h"
#include "ext.asciijson.h"

namespace {

// The import reads no instances; the dump is not under test here.
class NoInstances : public kn::InstanceProvider {
 public:
  std::vector<kn::WmiObject> instancesOf(const std::string&) override { return {}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string file = kn::fuzz::writeScratchFile("audit.json.xml", kn::fuzz::asText(data, size));
  kn::WMIAuditorOptions options;
  options.connect = [] { return std::make_unique<NoInstances>(); };
  kn::TWMIAuditor auditor(kn::fuzz::scratchFolder() + "/audit.json", options);
  try {
    auditor.importScriptResult(file);
  } catch (const kn::Exception&) {
    return 0;
  }
  const nlohmann::json& section = auditor.result()[kn::TWMIAuditor::metaKey];
  KN_FUZZ_CHECK(section.is_object());
  std::string out = kn::toAsciiJson(auditor.result());
  KN_FUZZ_CHECK(nlohmann::json::parse(out) == auditor.result());
  return 0;
}
