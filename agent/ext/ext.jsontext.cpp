#include "ext.jsontext.h"

#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <iterator>
#include <vector>

#include "KNJsonTreeBuilder.h"
#include "ext.asciijson.h"
#include "knLOG2.h"

namespace kn {
namespace {

using json = nlohmann::json;

// Refuses to open a container past the depth limit, and moves every large string out of the
// parser instead of copying it.
class BoundedBuilder : public JsonTreeBuilder {
 public:
  BoundedBuilder(json& root, std::size_t maxDepth) : JsonTreeBuilder(root), maxDepth_(maxDepth) {}

  bool tooDeep = false;
  std::string error;

  // The parser's buffer grows by doubling: a string with much room to spare is copied to its own
  // size (the buffer stays for the next string), a large one that nearly fills it is moved.
  bool string(string_t& v) override {
    return put(v.capacity() - v.size() > v.size() / 8 ? string_t(v) : std::move(v));
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    error = e.what();
    return false;
  }

 private:
  bool open(json v) override {
    if (depth() >= maxDepth_) {
      tooDeep = true;
      return false;
    }
    return JsonTreeBuilder::open(std::move(v));
  }

  std::size_t maxDepth_;
};

// Reads a text once, front to back, and gives the pages already read back to the system as it goes,
// so that a large text and what is parsed from it are not both resident. The pages are zero when
// read again: only a text that is not needed afterwards may be read this way, and its first
// kKeptBytes stay (for a preview in an error message).
class ReleasingReader {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  static constexpr std::size_t kKeptBytes = 64 * 1024;
  static constexpr std::size_t kStep = 4 * 1024 * 1024;

  ReleasingReader() = default;
  ReleasingReader(const char* p, const char* base, bool release)
      : p_(p), base_(base), next_(release ? base + kKeptBytes + kStep : nullptr) {}

  const char& operator*() const { return *p_; }
  ReleasingReader& operator++() {
    if (++p_ == next_) releaseBehind();
    return *this;
  }
  ReleasingReader operator++(int) {
    ReleasingReader old = *this;
    ++*this;
    return old;
  }
  bool operator==(const ReleasingReader& o) const { return p_ == o.p_; }

 private:
  void releaseBehind() {
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    auto from = (reinterpret_cast<std::uintptr_t>(base_ + kKeptBytes) + page - 1) & ~(page - 1);
    auto to = reinterpret_cast<std::uintptr_t>(p_ - 1) & ~(page - 1);  // the page being read stays
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    next_ += kStep;
  }

  const char* p_ = nullptr;
  const char* base_ = nullptr;
  const char* next_ = nullptr;
};

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

JsonParseResult parseJsonBoundedImpl(std::string_view text, std::size_t maxDepth, bool release);

}  // namespace

JsonParseResult parseJsonBounded(std::string_view text, std::size_t maxDepth) {
  return parseJsonBoundedImpl(text, maxDepth, false);
}

JsonParseResult parseJsonBoundedOnce(std::string& text, std::size_t maxDepth) {
  return parseJsonBoundedImpl(text, maxDepth,
                              text.size() > ReleasingReader::kKeptBytes + ReleasingReader::kStep);
}

namespace {

JsonParseResult parseJsonBoundedImpl(std::string_view text, std::size_t maxDepth, bool release) {
  JsonParseResult r;
  if (text.find('\0') != std::string_view::npos) {
    r.error = "a NUL byte in the text";
    return r;
  }
  BoundedBuilder builder(r.value, maxDepth);
  bool ok = false;
  try {
    ReleasingReader first(text.data(), text.data(), release),
        last(text.data() + text.size(), text.data(), false);
    ok = json::sax_parse(first, last, &builder);
  } catch (const json::exception& e) {  // not expected: the builder reports errors by returning false
    builder.error = e.what();
  }
  if (ok) {
    r.outcome = JsonParseOutcome::Ok;
    return r;
  }
  r.value = nullptr;
  r.outcome = builder.tooDeep ? JsonParseOutcome::TooDeep : JsonParseOutcome::Invalid;
  r.error = std::move(builder.error);
  return r;
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
  return logSafe(jsonText(v, true, kLogChars + 1), kLogChars);
}

}  // namespace kn
