#include "KNTextCodec.h"

#include <algorithm>

namespace kn {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

std::string decodeUtf16(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t i) -> char32_t {
    auto lo = static_cast<unsigned char>(bytes[i]), hi = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (lo << 8 | hi) : (hi << 8 | lo);
  };
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    appendUtf8(out, u);  // a lone surrogate comes out as U+FFFD
  }
  if (i < bytes.size()) appendUtf8(out, 0xFFFD);  // an odd trailing byte
  return out;
}

}  // namespace

std::string decodeUtf16LE(std::string_view bytes) { return decodeUtf16(bytes, false); }

char32_t nextUtf8(std::string_view utf8, size_t& pos) {
  const auto b = static_cast<unsigned char>(utf8[pos]);
  const size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  bool ok = len > 0 && pos + len <= utf8.size();
  for (size_t k = 1; ok && k < len; ++k) {
    const auto c = static_cast<unsigned char>(utf8[pos + k]);
    ok = (c & 0xC0) == 0x80;
    cp = cp << 6 | (c & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
  pos += ok ? len : 1;
  return ok ? cp : 0xFFFD;
}

std::string cutToUtf16Units(std::string_view utf8, size_t units) {
  std::string out;
  out.reserve(std::min(utf8.size(), 3 * units));
  for (size_t i = 0, used = 0; i < utf8.size();) {
    const size_t start = i;
    const char32_t cp = nextUtf8(utf8, i);
    used += cp >= 0x10000 ? 2 : 1;
    if (used > units) break;
    if (cp == 0xFFFD && i == start + 1)  // a byte that is not UTF-8
      appendUtf8(out, cp);
    else
      out.append(utf8.substr(start, i - start));
  }
  return out;
}

std::string encodeUtf16LE(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  auto unit = [&](char32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (size_t i = 0; i < utf8.size();) {
    const char32_t cp = nextUtf8(utf8, i);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

std::string decodeText(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return decodeUtf16(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return decodeUtf16(bytes.substr(2), true);
  return std::string(bytes);
}

}  // namespace kn
