#include "ext.replytext.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "KNTextCodec.h"
#include "ext.asciijson.h"
#include "knLOG2.h"

namespace kn {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Where the well-formed UTF-8 at the start of `text` ends.
std::size_t validUtf8Prefix(std::string_view text) {
  auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    Utf8CodePoint d = decodeUtf8(s + i, n - i);
    if (d.len == 1) return i;  // a lead byte of a well-formed sequence always takes more
    i += d.len;
  }
  return n;
}

// `text` with every byte that does not begin a well-formed UTF-8 sequence replaced by U+FFFD.
std::string repairUtf8(std::string text) {
  std::size_t good = validUtf8Prefix(text);
  if (good == text.size()) return text;
  std::string out;
  out.reserve(text.size() + 16);
  out.append(text, 0, good);
  auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (std::size_t i = good; i < n;) {
    if (s[i] < 0x80) {
      out += static_cast<char>(s[i++]);
      continue;
    }
    Utf8CodePoint d = decodeUtf8(s + i, n - i);
    if (d.len == 1)
      out += kReplacementUtf8;
    else
      out.append(text, i, d.len);
    i += d.len;
  }
  return out;
}

bool isUtf8Name(std::string_view cs) { return equalsNoCase(cs, "utf-8") || equalsNoCase(cs, "utf8"); }

// The size of one code unit of a charset, so that a unit iconv cannot read is skipped whole.
std::size_t unitOf(std::string_view cs) {
  std::string upper(cs);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  if (upper.find("32") != std::string::npos && upper.find("UTF") != std::string::npos) return 4;
  if ((upper.find("16") != std::string::npos && upper.find("UTF") != std::string::npos) ||
      upper.starts_with("UCS-2") || upper == "UCS2")
    return 2;
  return 1;
}

// `bytes` converted from `charset` to UTF-8 by iconv; false when iconv does not know the charset.
bool convert(std::string_view bytes, const std::string& charset, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::size_t unit = unitOf(charset);
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

}  // namespace

std::string charsetOf(std::string_view contentType) {
  std::size_t pos = contentType.find(';');
  while (pos != std::string_view::npos) {
    std::string_view rest = contentType.substr(pos + 1);
    // The parameter runs to the next ";" outside quotes.
    std::size_t end = 0;
    bool quoted = false;
    for (; end < rest.size(); ++end) {
      if (rest[end] == '"') quoted = !quoted;
      if (rest[end] == ';' && !quoted) break;
    }
    std::string_view param = rest.substr(0, end);
    std::size_t eq = param.find('=');
    if (eq != std::string_view::npos && equalsNoCase(trim(param.substr(0, eq)), "charset")) {
      std::string_view value = trim(param.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = trim(value.substr(1, value.size() - 2));
      return std::string(value);
    }
    pos = end < rest.size() ? pos + 1 + end : std::string_view::npos;
  }
  return "";
}

std::string decodeReplyText(std::string body, std::string_view contentType) {
  std::string cs = charsetOf(contentType);
  if (!cs.empty() && !isUtf8Name(cs)) {
    if (equalsNoCase(cs, "utf-16") && body.size() >= 2 && !body.starts_with("\xFF\xFE") &&
        !body.starts_with("\xFE\xFF"))
      cs = body[0] != 0 && body[1] == 0 ? "UTF-16LE" : "UTF-16BE";
    std::string out;
    if (convert(body, cs, out)) return out;
  }
  // UTF-8, unknown charsets and replies that declare none.
  if (body.starts_with("\xFF\xFE") || body.starts_with("\xFE\xFF")) return repairUtf8(decodeText(body));
  if (body.starts_with("\xEF\xBB\xBF")) body.erase(0, 3);
  return repairUtf8(std::move(body));
}

std::string replyPreview(std::string_view body, std::string_view contentType, std::size_t maxChars) {
  // Four bytes per character at most in any charset this reads, and a few more for a mark.
  std::size_t take = std::min(body.size(), maxChars * 4 + 4);
  std::string text = decodeReplyText(std::string(body.substr(0, take)), contentType);
  std::size_t chars = 0, end = 0;
  while (end < text.size() && chars < maxChars) {
    auto c = static_cast<unsigned char>(text[end]);
    end += c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;  // well formed: decoded above
    ++chars;
  }
  end = std::min(end, text.size());
  bool cut = end < text.size() || take < body.size();
  text.resize(end);
  return logSafe(text, text.size()) + (cut ? "..." : "");
}

}  // namespace kn
