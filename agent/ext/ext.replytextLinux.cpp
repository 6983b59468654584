// Charset conversion through glibc's iconv.
#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "ext.replytext.h"

namespace kn {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

}  // namespace

bool convertToUtf8(std::string_view bytes, const std::string& charset, std::size_t unit, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.clear();
  out.resize(bytes.size() + bytes.size() / 2 + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size(), done = 0;
  while (inLeft > 0) {
    char* dst = out.data() + done;
    std::size_t outLeft = out.size() - done;
    std::size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    done = out.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() + inLeft * 2 + 64);
      continue;
    }
    // EILSEQ (a unit that is no character) or EINVAL (cut short at the end): U+FFFD, skip one unit.
    if (out.size() - done < kReplacementUtf8.size()) out.resize(out.size() + 64);
    std::copy(kReplacementUtf8.begin(), kReplacementUtf8.end(), out.begin() + static_cast<long>(done));
    done += kReplacementUtf8.size();
    std::size_t skip = std::min(unit, inLeft);
    in += skip;
    inLeft -= skip;
  }
  iconv_close(cd);
  out.resize(done);
  return true;
}

}  // namespace kn
