// libFuzzer target: the RPC reply reader, exactly as a call runs it once the transfer is over.
//
// Input layout: the first two bytes are the HTTP status (big-endian, so every status from 0 to
// 65535 is reachable), then the Content-Type up to the first newline, then the body. Only the
// project's own exceptions are expected; anything else (a crash, a sanitizer report, another
// exception) is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "KNException.h"
#include "ext.channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  long status = (static_cast<long>(data[0]) << 8) | data[1];
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  size_t newline = rest.find('\n');
  std::string contentType(rest.substr(0, newline));
  std::string body(newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1));
  try {
    kn::TExtChannel::readReply(status, contentType, std::move(body));
  } catch (const kn::Exception&) {
  }
  return 0;
}
