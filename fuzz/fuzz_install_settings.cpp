// What the Windows installer reads from a machine and from its properties: a public key given as
// text or a PEM file, a present "endpoint.ini" and a present updater configuration (an
// administrator's file, possibly broken). Whatever is accepted must come out in the form the
// programs read back.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "InstallSettings.h"
#include "KNException.h"
#include "KNJsonParse.h"
#include "KNNameValueList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(kn::fuzz::asText(data, size));

  try {
    const std::string pem = kn::setup::ed25519PublicKeyPem(text);
    KN_FUZZ_CHECK(kn::setup::ed25519PublicKeyPem(pem) == pem);
  } catch (const kn::Exception&) {
  }

  const std::string endpoint = kn::setup::endpointWithUrl(text, "https://p.example");
  kn::TNameValueList lines;
  lines.loadFromText(endpoint);
  KN_FUZZ_CHECK(lines.value("url") == "https://p.example");

  try {
    const std::string config = kn::setup::updaterConfigWith(text, "https://u.example/", "publisher.pub");
    kn::JsonParseResult parsed =
        kn::parseJsonBounded(config, {.maxDepth = 64, .maxCost = 64 << 20, .comments = true});
    KN_FUZZ_CHECK(parsed.outcome == kn::JsonParseOutcome::Ok && parsed.value.is_object());
    KN_FUZZ_CHECK(parsed.value.value("updateurl", "") == "https://u.example/");
    KN_FUZZ_CHECK(parsed.value.value("publickey", "") == "publisher.pub");
  } catch (const kn::Exception&) {
  }
  return 0;
}
