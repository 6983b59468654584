// The inventory script's XML result file, imported into the audit document as the audit run
// imports it, then saved as the agent saves the document.
#include <cstdint>
#include <memory>
#include <string>

#include "FactText.h"
#include "FuzzSupport.h"
#include "InstanceProvider.h"
#include "KNException.h"
#include "KNLib.h"
#include "KNTextCodec.h"
#include "WMIAuditor.h"

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
  const nlohmann::json& audit = auditor.result()[kn::TWMIAuditor::metaKey];
  KN_FUZZ_CHECK(audit.is_object());
  // No imported value is longer than the audit keeps of a fact (FactText.h).
  for (const auto& [member, records] : audit.items())
    for (const nlohmann::json& record : records)
      for (const auto& [name, value] : record.items())
        KN_FUZZ_CHECK(kn::encodeUtf16LE(value.get<std::string>()).size() <= 2 * kn::kMaxFactLength);
  // The document as the agent stores it: ASCII JSON that parses (bytes that are not UTF-8 become
  // U+FFFD on the way).
  auditor.saveToFile();
  std::string saved = kn::readFileBytes(kn::fuzz::scratchFolder() + "/audit.json");
  for (unsigned char c : saved) KN_FUZZ_CHECK(c < 0x80);
  KN_FUZZ_CHECK(nlohmann::json::parse(saved).is_object());
  return 0;
}
