// The updater's configuration file as svcupdater reads it at start-up, then every lookup the update
// threads make on what was read.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "KNException.h"
#include "globals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = kn::fuzz::writeScratchFile("svcupdaterconfig", kn::fuzz::asText(data, size));
  kn::TUpdaterConfig config;
  try {
    config = kn::TUpdaterConfig::load(path);
  } catch (const kn::Exception&) {
    return 0;
  }
  KN_FUZZ_CHECK(config.CF().is_object());
  config.monitoredAppsText();
  for (const auto& [exe, position] : config.monitoredApps()) {
    const nlohmann::json& app = config.getAppConfig(exe);
    KN_FUZZ_CHECK(app.is_object());
    for (const char* key : {"exe", "appid", "service", "interval"}) {
      kn::configText(app, key);
      kn::configInteger(app, key);
    }
    (void)position;
  }
  return 0;
}
