#include "ext.replytext.h"

#include <algorithm>

#include "KNLib.h"
#include "KNTextCodec.h"
#include "ext.asciijson.h"
#include "knLOG2.h"

namespace kn {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

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

bool isUtf8Name(std::string_view cs) { return sameTextIgnoringCase(cs, "utf-8") || sameTextIgnoringCase(cs, "utf8"); }

// The size of one code unit of a charset, so that a unit iconv cannot read is skipped whole.
std::size_t unitOf(std::string_view cs) {
  const std::string lower = lowerAscii(cs);
  if (lower.find("32") != std::string::npos && lower.find("utf") != std::string::npos) return 4;
  if ((lower.find("16") != std::string::npos && lower.find("utf") != std::string::npos) ||
      lower.starts_with("ucs-2") || lower == "ucs2")
    return 2;
  return 1;
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
    if (eq != std::string_view::npos && sameTextIgnoringCase(trim(param.substr(0, eq)), "charset")) {
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
    if (sameTextIgnoringCase(cs, "utf-16") && body.size() >= 2 && !body.starts_with("\xFF\xFE") &&
        !body.starts_with("\xFE\xFF"))
      cs = body[0] != 0 && body[1] == 0 ? "UTF-16LE" : "UTF-16BE";
    std::string out;
    if (convertToUtf8(body, cs, unitOf(cs), out)) return out;
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
