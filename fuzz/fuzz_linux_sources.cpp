// The readers of /proc, /sys and /etc text behind the instance provider. The first byte picks the
// reader; the rest is the file's content.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "LinuxSources.h"

namespace src = kn::linuxsrc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view text = kn::fuzz::asText(data + 1, size - 1);
  switch (data[0] % 24) {
    case 0: {
      src::Fields f = src::parseKeyValues(text);
      for (const auto& [key, value] : f) KN_FUZZ_CHECK(src::field(f, key).has_value());
      break;
    }
    case 1: {
      src::Fields f = src::parseColonFields(text);
      for (const auto& [key, value] : f) src::kilobytes(f, key);
      break;
    }
    case 2:
      for (const src::Fields& f : src::parseCpuinfo(text)) src::field(f, "model name");
      break;
    case 3:
      src::parseProcNetRoute(text);
      break;
    case 4: {
      auto dotted = src::hexToDottedIPv4(text);
      if (dotted) KN_FUZZ_CHECK(dotted->size() <= 15);
      break;
    }
    case 5:
      src::parseMounts(text);
      break;
    case 6:
      src::parsePasswd(text);
      break;
    case 7:
      src::parseShadow(text);
      break;
    case 8:
      src::parseGroup(text);
      break;
    case 9:
      for (const src::DpkgPackage& p : src::parseDpkgStatus(text)) p.qualifiedName();
      break;
    case 10:
      src::parseUnitFile(text);
      break;
    case 11:
      src::parseAsoundCards(text);
      break;
    case 12:
      src::parseIniSections(text);
      break;
    case 13:
      src::parseCupsPrinters(text);
      break;
    case 14: {
      std::string clean = src::withoutUriCredentials(text);
      KN_FUZZ_CHECK(clean.size() <= text.size());
      break;
    }
    case 15:
      src::parseProcStat(text);
      break;
    case 16:
      src::parseSmbiosMemoryDevice(text);
      break;
    case 17:
      src::parsePosixTimeZone(text);
      break;
    case 18:
      src::parsePosixTimeZone(src::tzifFooter(text));
      break;
    case 19: {
      auto date = src::biosDateToWmi(text);
      if (date) KN_FUZZ_CHECK(date->size() == 25);
      src::trim(text);
      break;
    }
    case 20:
      src::parseSystemStat(text);
      break;
    case 21:
      src::loadavgEntities(text);
      break;
    case 22:
      src::kernelRootDevice(text);
      break;
    case 23: {
      // A domain is one name: never empty, never the root domain, never holding a blank.
      if (const auto domain = src::resolvConfDomain(text))
        KN_FUZZ_CHECK(!domain->empty() && *domain != "." &&
                      domain->find_first_of(" \t\r\n") == std::string::npos);
      for (const std::string& server : src::resolvConfNameServers(text)) KN_FUZZ_CHECK(!server.empty());
      break;
    }
  }
  return 0;
}
