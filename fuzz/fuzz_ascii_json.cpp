// The wire JSON writer. Two shapes of input, chosen by the first byte:
//  - a JSON text: its value written must be 7-bit ASCII, exactly asciiJsonSize bytes long, and
//    parse back to the same value;
//  - raw bytes taken as one string (any bytes, invalid UTF-8 included): the quoted string written
//    must be ASCII, sized as announced, and parse back to a string, the same one when the bytes
//    were valid UTF-8.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "ext.asciijson.h"

namespace {

// The writer serves values the system builds itself; values parsed from outside are limited to
// this depth, the limit of the channel's replies.
constexpr int kMaxDepth = 256;

bool allAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

void checkValue(std::string_view text) {
  nlohmann::json v;
  try {
    v = nlohmann::json::parse(text, [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
      if (depth > kMaxDepth) throw std::length_error("too deep");
      return true;
    });
  } catch (const std::exception&) {
    return;
  }
  std::string out = kn::toAsciiJson(v);
  KN_FUZZ_CHECK(out.size() == kn::asciiJsonSize(v));
  KN_FUZZ_CHECK(allAscii(out));
  nlohmann::json back = nlohmann::json::parse(out);
  KN_FUZZ_CHECK(back == v);
}

void checkString(std::string_view bytes) {
  std::string out(kn::asciiEscapedSize(bytes) + 2, '\0');
  char* end = kn::writeAsciiString(out.data(), bytes);
  KN_FUZZ_CHECK(end == out.data() + out.size());
  KN_FUZZ_CHECK(allAscii(out));
  nlohmann::json back = nlohmann::json::parse(out);  // throws (and so fails the run) when invalid
  KN_FUZZ_CHECK(back.is_string());
  bool validUtf8 = true;
  try {
    (void)nlohmann::json(std::string(bytes)).dump();
  } catch (const nlohmann::json::type_error&) {
    validUtf8 = false;
  }
  if (validUtf8) KN_FUZZ_CHECK(back.get<std::string>() == bytes);
  KN_FUZZ_CHECK(kn::toAsciiJson(nlohmann::json(std::string(bytes))) == out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest = kn::fuzz::asText(data + 1, size - 1);
  if (data[0] & 1)
    checkString(rest);
  else
    checkValue(rest);
  return 0;
}
