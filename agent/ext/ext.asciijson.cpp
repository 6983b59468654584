#include "ext.asciijson.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace kn {
namespace {

// Output length of each 7-bit byte; 0 marks the non-ASCII bytes, which are decoded as UTF-8.
constexpr std::array<uint8_t, 256> kEscLen = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x80; ++c) t[c] = c < 0x20 ? 6 : 1;
  for (unsigned char c : {'\b', '\t', '\n', '\f', '\r', '"', '\\', '/'}) t[c] = 2;
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";
constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

Utf8CodePoint decodeUtf8(const unsigned char* s, size_t n) {
  unsigned char b = s[0];
  size_t len;
  char32_t cp, min;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return {kReplacement, 1};
  }
  if (n < len) return {kReplacement, 1};
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return {kReplacement, 1};
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {kReplacement, 1};
  return {cp, len};
}

namespace {

char* writeU(char* p, unsigned unit) {
  p[0] = '\\', p[1] = 'u';
  p[2] = kHex[(unit >> 12) & 0xF], p[3] = kHex[(unit >> 8) & 0xF];
  p[4] = kHex[(unit >> 4) & 0xF], p[5] = kHex[unit & 0xF];
  return p + 6;
}

char* writeEscapedBody(char* p, std::string_view text) {
  auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && kEscLen[s[run]] == 1) ++run;
    if (run > i) {
      std::memcpy(p, s + i, run - i);
      p += run - i;
      i = run;
      if (i == n) break;
    }
    unsigned char c = s[i];
    if (c >= 0x80) {
      Utf8CodePoint d = decodeUtf8(s + i, n - i);
      if (d.cp >= 0x10000) {
        char32_t v = d.cp - 0x10000;
        p = writeU(p, 0xD800 + (v >> 10));
        p = writeU(p, 0xDC00 + (v & 0x3FF));
      } else {
        p = writeU(p, d.cp);
      }
      i += d.len;
      continue;
    }
    switch (c) {
      case '\b':
        *p++ = '\\', *p++ = 'b';
        break;
      case '\t':
        *p++ = '\\', *p++ = 't';
        break;
      case '\n':
        *p++ = '\\', *p++ = 'n';
        break;
      case '\f':
        *p++ = '\\', *p++ = 'f';
        break;
      case '\r':
        *p++ = '\\', *p++ = 'r';
        break;
      case '"':
      case '\\':
      case '/':
        *p++ = '\\', *p++ = static_cast<char>(c);
        break;
      default:
        p = writeU(p, c);
    }
    ++i;
  }
  return p;
}

// Integers and floats: integers by to_chars, floats in the JSON library's own form (always with a
// fraction or exponent, so they read back as floats; NaN and infinity as null).
size_t numberText(const nlohmann::json& v, char (&buf)[32]) {
  std::to_chars_result r{};
  if (v.is_number_unsigned()) {
    r = std::to_chars(buf, buf + sizeof buf, v.get<uint64_t>());
  } else if (v.is_number_integer()) {
    r = std::to_chars(buf, buf + sizeof buf, v.get<int64_t>());
  } else {
    std::string s = v.dump();
    size_t len = std::min(s.size(), sizeof buf);
    std::memcpy(buf, s.data(), len);
    return len;
  }
  return static_cast<size_t>(r.ptr - buf);
}

}  // namespace

size_t asciiEscapedSize(std::string_view text) {
  auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0, size = 0;
  while (i < n) {
    unsigned len = kEscLen[s[i]];
    if (len != 0) {
      size += len;
      ++i;
      continue;
    }
    Utf8CodePoint d = decodeUtf8(s + i, n - i);
    size += d.cp >= 0x10000 ? 12 : 6;
    i += d.len;
  }
  return size;
}

char* writeAsciiString(char* out, std::string_view text) {
  *out++ = '"';
  out = writeEscapedBody(out, text);
  *out++ = '"';
  return out;
}

size_t asciiJsonSize(const nlohmann::json& v) {
  using T = nlohmann::json::value_t;
  switch (v.type()) {
    case T::null:
      return 4;
    case T::boolean:
      return v.get<bool>() ? 4 : 5;
    case T::string:
      return asciiEscapedSize(v.get_ref<const std::string&>()) + 2;
    case T::number_integer:
    case T::number_unsigned:
    case T::number_float: {
      char buf[32];
      return numberText(v, buf);
    }
    case T::array: {
      size_t size = 2 + (v.empty() ? 0 : v.size() - 1);
      for (const auto& e : v) size += asciiJsonSize(e);
      return size;
    }
    case T::object: {
      size_t size = 2 + (v.empty() ? 0 : v.size() - 1);
      for (const auto& [name, e] : v.items()) size += asciiEscapedSize(name) + 3 + asciiJsonSize(e);
      return size;
    }
    default:
      return toAsciiJson(nlohmann::json::parse(v.dump())).size();  // binary: as the library writes it
  }
}

char* writeAsciiJson(char* out, const nlohmann::json& v) {
  using T = nlohmann::json::value_t;
  switch (v.type()) {
    case T::null:
      std::memcpy(out, "null", 4);
      return out + 4;
    case T::boolean:
      if (v.get<bool>()) {
        std::memcpy(out, "true", 4);
        return out + 4;
      }
      std::memcpy(out, "false", 5);
      return out + 5;
    case T::string:
      return writeAsciiString(out, v.get_ref<const std::string&>());
    case T::number_integer:
    case T::number_unsigned:
    case T::number_float: {
      char buf[32];
      size_t len = numberText(v, buf);
      std::memcpy(out, buf, len);
      return out + len;
    }
    case T::array: {
      *out++ = '[';
      bool first = true;
      for (const auto& e : v) {
        if (!first) *out++ = ',';
        first = false;
        out = writeAsciiJson(out, e);
      }
      *out++ = ']';
      return out;
    }
    case T::object: {
      *out++ = '{';
      bool first = true;
      for (const auto& [name, e] : v.items()) {
        if (!first) *out++ = ',';
        first = false;
        out = writeAsciiString(out, name);
        *out++ = ':';
        out = writeAsciiJson(out, e);
      }
      *out++ = '}';
      return out;
    }
    default: {
      std::string s = toAsciiJson(nlohmann::json::parse(v.dump()));
      std::memcpy(out, s.data(), s.size());
      return out + s.size();
    }
  }
}

std::string toAsciiJson(const nlohmann::json& v) {
  std::string out(asciiJsonSize(v), '\0');
  writeAsciiJson(out.data(), v);
  return out;
}

}  // namespace kn
