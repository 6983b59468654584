// The configuration store's PHP-serialized parameters: anything that reads must write back to text
// that reads to the same parameters.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "KNConfig.h"
#include "KNException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kn::TKNConfig config("Fuzz");
  try {
    config.PHPUnserialize(kn::fuzz::asText(data, size));
  } catch (const kn::Exception&) {
    KN_FUZZ_CHECK(config.Params.empty());
    return 0;
  }
  std::string text = config.PHPSerialize();
  kn::TKNConfig again("Fuzz");
  again.PHPUnserialize(text);
  KN_FUZZ_CHECK(again.Params == config.Params);
  KN_FUZZ_CHECK(again.PHPSerialize() == text);
  return 0;
}
