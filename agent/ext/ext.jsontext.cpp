#include "ext.jsontext.h"

#include <charconv>
#include <vector>

#include "ext.asciijson.h"
#include "knLOG2.h"

namespace kn {
namespace {

using json = nlohmann::json;

constexpr char kHex[] = "0123456789abcdef";

void appendU(std::string& out, unsigned unit) {
  char u[6] = {'\\',
               'u',
               kHex[(unit >> 12) & 0xF],
               kHex[(unit >> 8) & 0xF],
               kHex[(unit >> 4) & 0xF],
               kHex[unit & 0xF]};
  out.append(u, 6);
}

// A quoted string as nlohmann::json::dump escapes it (error handler "replace"); cut short, without
// its closing quote, once `out` holds more than `maxBytes`.
void appendString(std::string& out, std::string_view text, bool asciiOnly, std::size_t maxBytes) {
  out += '"';
  auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    if (out.size() > maxBytes) return;
    unsigned char c = s[i];
    if (c >= 0x80) {
      Utf8CodePoint d = decodeUtf8(s + i, n - i);
      if (!asciiOnly) {
        if (d.cp == 0xFFFD && d.len == 1)
          out += "\xEF\xBF\xBD";
        else
          out.append(text.data() + i, d.len);
      } else if (d.cp >= 0x10000) {
        char32_t v = d.cp - 0x10000;
        appendU(out, 0xD800 + (v >> 10));
        appendU(out, 0xDC00 + (v & 0x3FF));
      } else {
        appendU(out, d.cp);
      }
      i += d.len;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || (asciiOnly && c == 0x7F))
          appendU(out, c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
}

void appendScalar(std::string& out, const json& v, bool asciiOnly, std::size_t maxBytes) {
  char buf[32];
  switch (v.type()) {
    case json::value_t::null:
      out += "null";
      break;
    case json::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      break;
    case json::value_t::string:
      appendString(out, v.get_ref<const std::string&>(), asciiOnly, maxBytes);
      break;
    case json::value_t::number_integer:
      out.append(buf, std::to_chars(buf, buf + sizeof buf, v.get<std::int64_t>()).ptr);
      break;
    case json::value_t::number_unsigned:
      out.append(buf, std::to_chars(buf, buf + sizeof buf, v.get<std::uint64_t>()).ptr);
      break;
    default:  // floating numbers and binary values hold no nested values: the library writes them
      out += v.dump(-1, ' ', asciiOnly, json::error_handler_t::replace);
  }
}

}  // namespace

std::string jsonText(const json& v, bool asciiOnly, std::size_t maxBytes) {
  struct Frame {
    const json* container;
    json::const_iterator it;
    bool first;
  };
  std::string out;
  std::vector<Frame> stack;
  auto value = [&](const json& e) {
    if (e.is_array() || e.is_object()) {
      out += e.is_array() ? '[' : '{';
      stack.push_back({&e, e.cbegin(), true});
    } else {
      appendScalar(out, e, asciiOnly, maxBytes);
    }
  };
  value(v);
  while (!stack.empty() && out.size() <= maxBytes) {
    Frame& f = stack.back();
    if (f.it == f.container->cend()) {
      out += f.container->is_array() ? ']' : '}';
      stack.pop_back();
      continue;
    }
    if (!f.first) out += ',';
    f.first = false;
    if (f.container->is_object()) {
      appendString(out, f.it.key(), asciiOnly, maxBytes);
      out += ':';
    }
    const json& e = *f.it;
    ++f.it;
    value(e);  // may grow the stack: `f` is not used after this
  }
  return out;
}

std::string jsonLogText(const json& v) {
  constexpr std::size_t kLogChars = 1000;
  std::string text = jsonText(v, true, kLogChars);
  if (text.size() <= kLogChars) return text;
  text.resize(kLogChars);
  return text + "...";
}

}  // namespace kn
