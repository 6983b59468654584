// The name=value reader as the programs use it: a file read from disk, decoded by its byte-order
// mark. The first input byte picks the encoding the rest is presented in (none, UTF-8, UTF-16LE or
// UTF-16BE with its mark), so all three decoders see every shape of text.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "KNException.h"
#include "KNNameValueList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kMarks[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
  std::string bytes = kMarks[data[0] & 3];
  bytes.append(kn::fuzz::asText(data + 1, size - 1));
  std::string path = kn::fuzz::writeScratchFile("settings.ini", bytes);

  kn::TNameValueList list;
  list.loadFromFile(path);

  for (int i = 0; i < list.size(); ++i) {
    const std::string& line = list.line(i);
    KN_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    std::string name = list.name(i);
    if (line.find('=') == std::string::npos) {
      KN_FUZZ_CHECK(name.empty() && list.valueAt(i).empty());
      continue;
    }
    KN_FUZZ_CHECK(line == name + "=" + list.valueAt(i));
    int first = list.indexOfName(name);
    KN_FUZZ_CHECK(first >= 0 && first <= i);
    KN_FUZZ_CHECK(list.value(name) == list.valueAt(first));
  }

  // What the list writes, it reads back line for line.
  kn::TNameValueList again;
  again.loadFromText(list.text());
  KN_FUZZ_CHECK(again.size() == list.size());
  for (int i = 0; i < list.size(); ++i) KN_FUZZ_CHECK(again.line(i) == list.line(i));
  return 0;
}
