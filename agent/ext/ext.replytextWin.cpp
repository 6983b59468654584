// Charset conversion through Windows' code pages (MultiByteToWideChar), with a table of the charset
// names servers send. UTF-16 and UTF-32 are decoded here: MultiByteToWideChar does not take them.
//
// The replacement rules are those of the Linux half: U+FFFD for every byte (every code unit, for
// UTF-16 and UTF-32) that begins no character of the charset or begins one cut short at the end.
// Windows' tables fill the holes of some code pages with controls or private-use characters
// ("windows-1252" 0x81 reads U+0081, "us-ascii" drops the high bit): those become U+FFFD too.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "KNLib.h"
#include "KNTextCodec.h"
#include "ext.replytext.h"

namespace kn {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

enum class Kind {
  SingleByte,  // one byte, one character
  Windows,     // a windows-125x code page: 0x80..0x9F are never C1 controls there
  Ascii,       // 7 bits
  DoubleByte,  // lead bytes as the code page says
  Gb18030,     // two or four bytes
  Utf16Le,
  Utf16Be,
  Utf32Le,
  Utf32Be,
};

struct Charset {
  Kind kind;
  unsigned codePage;
};

struct Name {
  std::string_view name;
  Charset charset;
};

// Lower-case names and aliases as servers and the IANA registry spell them.
constexpr Name kNames[] = {
    {"us-ascii", {Kind::Ascii, 20127}},
    {"ascii", {Kind::Ascii, 20127}},
    {"us", {Kind::Ascii, 20127}},
    {"ansi_x3.4-1968", {Kind::Ascii, 20127}},
    {"iso646-us", {Kind::Ascii, 20127}},
    {"cp367", {Kind::Ascii, 20127}},
    {"ibm367", {Kind::Ascii, 20127}},
    {"latin1", {Kind::SingleByte, 28591}},
    {"l1", {Kind::SingleByte, 28591}},
    {"cp819", {Kind::SingleByte, 28591}},
    {"ibm819", {Kind::SingleByte, 28591}},
    {"latin2", {Kind::SingleByte, 28592}},
    {"l2", {Kind::SingleByte, 28592}},
    {"latin3", {Kind::SingleByte, 28593}},
    {"l3", {Kind::SingleByte, 28593}},
    {"latin4", {Kind::SingleByte, 28594}},
    {"l4", {Kind::SingleByte, 28594}},
    {"cyrillic", {Kind::SingleByte, 28595}},
    {"arabic", {Kind::SingleByte, 28596}},
    {"greek", {Kind::SingleByte, 28597}},
    {"hebrew", {Kind::SingleByte, 28598}},
    {"iso-8859-8-i", {Kind::SingleByte, 38598}},
    {"latin5", {Kind::SingleByte, 28599}},
    {"l5", {Kind::SingleByte, 28599}},
    {"iso-8859-11", {Kind::SingleByte, 874}},  // Windows knows it as its superset, windows-874
    {"tis-620", {Kind::SingleByte, 874}},
    {"windows-874", {Kind::SingleByte, 874}},
    {"cp874", {Kind::SingleByte, 874}},
    {"latin7", {Kind::SingleByte, 28603}},
    {"l7", {Kind::SingleByte, 28603}},
    {"latin9", {Kind::SingleByte, 28605}},
    {"l9", {Kind::SingleByte, 28605}},
    {"koi8-r", {Kind::SingleByte, 20866}},
    {"koi8r", {Kind::SingleByte, 20866}},
    {"cskoi8r", {Kind::SingleByte, 20866}},
    {"koi8-u", {Kind::SingleByte, 21866}},
    {"koi8u", {Kind::SingleByte, 21866}},
    {"cp437", {Kind::SingleByte, 437}},
    {"ibm437", {Kind::SingleByte, 437}},
    {"437", {Kind::SingleByte, 437}},
    {"cspc8codepage437", {Kind::SingleByte, 437}},
    {"cp850", {Kind::SingleByte, 850}},
    {"ibm850", {Kind::SingleByte, 850}},
    {"850", {Kind::SingleByte, 850}},
    {"cspc850multilingual", {Kind::SingleByte, 850}},
    {"shift_jis", {Kind::DoubleByte, 932}},
    {"shift-jis", {Kind::DoubleByte, 932}},
    {"sjis", {Kind::DoubleByte, 932}},
    {"x-sjis", {Kind::DoubleByte, 932}},
    {"ms_kanji", {Kind::DoubleByte, 932}},
    {"csshiftjis", {Kind::DoubleByte, 932}},
    {"windows-31j", {Kind::DoubleByte, 932}},
    {"cp932", {Kind::DoubleByte, 932}},
    {"euc-jp", {Kind::DoubleByte, 20932}},
    {"eucjp", {Kind::DoubleByte, 20932}},
    {"x-euc-jp", {Kind::DoubleByte, 20932}},
    {"cseucpkdfmtjapanese", {Kind::DoubleByte, 20932}},
    {"gbk", {Kind::DoubleByte, 936}},
    {"x-gbk", {Kind::DoubleByte, 936}},
    {"cp936", {Kind::DoubleByte, 936}},
    {"ms936", {Kind::DoubleByte, 936}},
    {"windows-936", {Kind::DoubleByte, 936}},
    {"gb2312", {Kind::DoubleByte, 936}},  // read as GBK, its superset, as browsers do
    {"csgb2312", {Kind::DoubleByte, 936}},
    {"gb_2312-80", {Kind::DoubleByte, 936}},
    {"euc-cn", {Kind::DoubleByte, 936}},
    {"gb18030", {Kind::Gb18030, 54936}},
    {"big5", {Kind::DoubleByte, 950}},
    {"big-5", {Kind::DoubleByte, 950}},
    {"cn-big5", {Kind::DoubleByte, 950}},
    {"csbig5", {Kind::DoubleByte, 950}},
    {"x-x-big5", {Kind::DoubleByte, 950}},
    {"cp950", {Kind::DoubleByte, 950}},
    {"euc-kr", {Kind::DoubleByte, 949}},
    {"euckr", {Kind::DoubleByte, 949}},
    {"cseuckr", {Kind::DoubleByte, 949}},
    {"ks_c_5601-1987", {Kind::DoubleByte, 949}},
    {"ksc5601", {Kind::DoubleByte, 949}},
    {"korean", {Kind::DoubleByte, 949}},
    {"cp949", {Kind::DoubleByte, 949}},
    {"windows-949", {Kind::DoubleByte, 949}},
    {"uhc", {Kind::DoubleByte, 949}},
    {"utf-16le", {Kind::Utf16Le, 0}},
    {"utf16le", {Kind::Utf16Le, 0}},
    {"utf-16be", {Kind::Utf16Be, 0}},
    {"utf16be", {Kind::Utf16Be, 0}},
    {"utf-16", {Kind::Utf16Be, 0}},  // a byte-order mark decides; big-endian without one
    {"utf16", {Kind::Utf16Be, 0}},
    {"utf-32le", {Kind::Utf32Le, 0}},
    {"utf-32be", {Kind::Utf32Be, 0}},
    {"utf-32", {Kind::Utf32Be, 0}},
};

// "iso-8859-N", "iso8859-N", "iso_8859-N" (with an optional ":1987"-style year), "windows-125N",
// "cp125N", "x-cp125N"; the rest from the table.
bool lookUp(const std::string& lower, Charset& out) {
  for (const Name& n : kNames)
    if (lower == n.name) {
      out = n.charset;
      return true;
    }
  std::string_view s = lower;
  for (std::string_view prefix : {"iso-8859-", "iso8859-", "iso_8859-", "iso8859_", "iso_8859_"})
    if (s.starts_with(prefix)) {
      std::string_view rest = s.substr(prefix.size());
      if (std::size_t colon = rest.find(':'); colon != std::string_view::npos) rest = rest.substr(0, colon);
      unsigned part = 0;
      for (char c : rest) {
        if (c < '0' || c > '9' || part > 100) return false;
        part = part * 10 + static_cast<unsigned>(c - '0');
      }
      // Windows has parts 1 to 9, 13 and 15 (11 is in the table above).
      if ((part >= 1 && part <= 9) || part == 13 || part == 15) {
        out = {Kind::SingleByte, 28590 + part};
        return true;
      }
      return false;
    }
  for (std::string_view prefix : {"windows-", "cp", "x-cp"})
    if (s.starts_with(prefix)) {
      std::string_view rest = s.substr(prefix.size());
      if (rest.size() == 4 && rest.starts_with("125") && rest[3] >= '0' && rest[3] <= '8') {
        out = {Kind::Windows, 1250u + static_cast<unsigned>(rest[3] - '0')};
        return true;
      }
    }
  return false;
}

void appendReplacement(std::string& out) { out += kReplacementUtf8; }

// `bytes` through the code page with MB_ERR_INVALID_CHARS: false when Windows finds a byte that is
// no character (or the text is empty).
bool toWide(unsigned cp, std::string_view bytes, std::wstring& wide) {
  if (bytes.empty()) return false;
  int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<std::size_t>(n));
  return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                             n) == n;
}

// UTF-16 from Windows, as UTF-8 (the code pages yield no lone surrogates).
void appendWide(std::string& out, std::wstring_view w) {
  for (std::size_t i = 0; i < w.size(); ++i) {
    std::uint32_t c = w[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      appendReplacement(out);
      continue;
    }
    appendUtf8(out, c);
  }
}

// One byte, one character: each of the 256 bytes converted once, holes marked.
void convertSingleByte(std::string_view bytes, const Charset& cs, std::string& out) {
  std::array<std::string, 256> table;
  std::wstring w;
  for (unsigned b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (b < 0x80) {
      table[b] = std::string(1, c);
      continue;
    }
    bool hole = cs.kind == Kind::Ascii || !toWide(cs.codePage, std::string_view(&c, 1), w) || w.size() != 1 ||
                (w[0] >= 0xE000 && w[0] <= 0xF8FF) ||  // a private-use stand-in for a hole
                (cs.kind == Kind::Windows && w[0] >= 0x80 && w[0] <= 0x9F);
    if (hole)
      table[b] = std::string(kReplacementUtf8);
    else
      appendWide(table[b], w);
  }
  out.reserve(bytes.size() + bytes.size() / 2);
  for (char c : bytes) out += table[static_cast<unsigned char>(c)];
}

// The length of the character that starts at `s` in a multi-byte code page (what the lead byte
// promises; Windows checks the rest).
std::size_t charLength(const Charset& cs, std::string_view s) {
  auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return 1;
  if (cs.kind == Kind::Gb18030) {
    if (b0 == 0x80 || b0 == 0xFF) return 1;
    if (s.size() >= 2 && s[1] >= '0' && s[1] <= '9') return 4;
    return 2;
  }
  return IsDBCSLeadByteEx(cs.codePage, b0) ? 2 : 1;
}

// Multi-byte code pages: converted a few thousand characters at a time; a piece Windows refuses is
// walked character by character, with U+FFFD for each byte that begins no character.
void convertMultiByte(std::string_view bytes, const Charset& cs, std::string& out) {
  constexpr std::size_t kPiece = 16384;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::wstring w;
  std::size_t i = 0;
  while (i < bytes.size()) {
    // A piece that ends on a character's boundary (or at the end of the text).
    std::size_t end = i;
    while (end < bytes.size() && end - i < kPiece) end += charLength(cs, bytes.substr(end));
    end = std::min(end, bytes.size());
    std::string_view piece = bytes.substr(i, end - i);
    bool whole = true;
    for (std::size_t j = 0; j < piece.size();) {
      std::size_t len = charLength(cs, piece.substr(j));
      if (j + len > piece.size()) whole = false;  // cut short at the end
      j += len;
    }
    if (whole && toWide(cs.codePage, piece, w)) {
      appendWide(out, w);
      i = end;
      continue;
    }
    for (std::size_t j = 0; j < piece.size();) {
      std::size_t len = std::min(charLength(cs, piece.substr(j)), piece.size() - j);
      std::string_view one = piece.substr(j, len);
      bool complete = len == charLength(cs, one);
      if (complete && toWide(cs.codePage, one, w)) {
        appendWide(out, w);
        j += len;
      } else {
        appendReplacement(out);
        ++j;
      }
    }
    i = end;
  }
}

// UTF-16 or UTF-32 in the given byte order. A byte-order mark is dropped where the name leaves the
// order open ("utf-16", "utf-32") and kept as U+FEFF where the name fixes it, as iconv does.
void convertUnicode(std::string_view bytes, Kind kind, bool orderFromMark, std::string& out) {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  const std::size_t unit = kind == Kind::Utf16Le || kind == Kind::Utf16Be ? 2 : 4;
  bool little = kind == Kind::Utf16Le || kind == Kind::Utf32Le;
  std::size_t i = 0;
  if (orderFromMark && n >= unit) {
    if (unit == 2 && s[0] == 0xFF && s[1] == 0xFE) little = true, i = 2;
    if (unit == 2 && s[0] == 0xFE && s[1] == 0xFF) little = false, i = 2;
    if (unit == 4 && s[0] == 0xFF && s[1] == 0xFE && s[2] == 0 && s[3] == 0) little = true, i = 4;
    if (unit == 4 && s[0] == 0 && s[1] == 0 && s[2] == 0xFE && s[3] == 0xFF) little = false, i = 4;
  }
  auto read = [&](std::size_t at) -> std::uint32_t {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < unit; ++k) v |= std::uint32_t(s[at + k]) << (8 * (little ? k : unit - 1 - k));
    return v;
  };
  out.reserve(n);
  for (; i + unit <= n; i += unit) {
    std::uint32_t c = read(i);
    if (unit == 2 && c >= 0xD800 && c <= 0xDBFF && i + 4 <= n) {
      std::uint32_t low = read(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    appendUtf8(out, c);  // a lone surrogate or a value past U+10FFFF becomes U+FFFD
  }
  if (i < n) appendReplacement(out);  // a unit cut short
}

}  // namespace

bool convertToUtf8(std::string_view bytes, const std::string& charset, std::size_t, std::string& out) {
  std::string lower = lowerAscii(charset);
  Charset cs{};
  if (!lookUp(lower, cs)) return false;
  out.clear();
  switch (cs.kind) {
    case Kind::Utf16Le:
    case Kind::Utf16Be:
    case Kind::Utf32Le:
    case Kind::Utf32Be:
      convertUnicode(bytes, cs.kind, lower == "utf-16" || lower == "utf16" || lower == "utf-32", out);
      return true;
    default:
      break;
  }
  if (!IsValidCodePage(cs.codePage)) return false;
  if (cs.kind == Kind::DoubleByte || cs.kind == Kind::Gb18030)
    convertMultiByte(bytes, cs, out);
  else
    convertSingleByte(bytes, cs, out);
  return true;
}

}  // namespace kn
