// The version note reader on an arbitrary file: it never fails, and answers "0.0.0.0", "" or the
// note's version text.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "KNVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = kn::fuzz::writeScratchFile("program", kn::fuzz::asText(data, size));
  std::string version = kn::fileVersion(path);
  (void)version;
  return 0;
}
