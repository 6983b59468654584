// Fuzzes the reader of the update server's answer: any bytes, any length, must give one of the
// result words and never a version text that was not in the answer's first 64 KB.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "KNException.h"
#include "knWebUpdateChecker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    kn::UpdateVerdict v = kn::readUpdateAnswer(body, "1.0.0.3");
    const std::string& r = v.result;
    if (r != "BLOCKED" && r != "UNKNOWN" && r != "UPDATED" && r != "UPDATEREQUIRED") std::abort();
    if ((r == "UNKNOWN" || r == "BLOCKED") != v.newversion.empty()) std::abort();
    if (r == "UPDATED" && v.newversion != "1.0.0.3") std::abort();
    if (v.newversion.size() > kn::kMaxAnswerBytes * 3) std::abort();  // UTF-16 may widen, never more
  } catch (const kn::Exception&) {
  }
  return 0;
}
