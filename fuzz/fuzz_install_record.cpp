// The record of an install in progress, as the updater reads it at start-up: whatever the bytes,
// what is read formats and reads back to the same record.
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "InstallRecord.h"

namespace {

bool same(const kn::InstallRecord& a, const kn::InstallRecord& b) {
  if (a.exename != b.exename || a.services != b.services || a.files.size() != b.files.size()) return false;
  for (size_t i = 0; i < a.files.size(); ++i)
    if (a.files[i].target != b.files[i].target || a.files[i].temp != b.files[i].temp ||
        a.files[i].backup != b.files[i].backup)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kn::InstallRecord record =
      kn::parseInstallRecord(std::string_view(reinterpret_cast<const char*>(data), size));
  KN_FUZZ_CHECK(same(record, kn::parseInstallRecord(kn::formatInstallRecord(record))));
  return 0;
}
