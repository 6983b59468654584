// The registry hive text: parse, format, parse again must give the same model, and formatting is
// stable from then on.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "KNException.h"
#include "KNRegistryHive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kn::Hive hive;
  try {
    hive = kn::parseHive(kn::fuzz::asText(data, size), "fuzz");
  } catch (const kn::Exception&) {
    return 0;  // a malformed hive is refused with the file and line; that is the contract
  }
  std::string text = kn::formatHive(hive);
  kn::Hive again = kn::parseHive(text, "formatted");
  KN_FUZZ_CHECK(again == hive);
  KN_FUZZ_CHECK(kn::formatHive(again) == text);
  for (const kn::HiveKey& key : hive.keys) {
    KN_FUZZ_CHECK(hive.find(key.path) != nullptr);
    hive.subKeys(key.path);
  }
  return 0;
}
