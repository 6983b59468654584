#include "KNRegistryHive.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace kn {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// `path` lies below `ancestor` (a proper descendant).
bool isBelow(std::string_view path, std::string_view ancestor) {
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         sameRegName(path.substr(0, ancestor.size()), ancestor);
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && sameRegName(s.substr(0, prefix.size()), prefix);
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

class HiveParser {
 public:
  HiveParser(std::string_view text, const std::string& source) : text_(text), source_(source) {}

  Hive parse() {
    Hive hive;
    HiveKey* key = nullptr;
    bool headerSeen = false;
    while (nextLine()) {
      std::string_view line = trim(line_);
      if (line.empty() || line.front() == ';') continue;
      if (!headerSeen) {
        if (line != kHeader) fail("expected \"" + std::string(kHeader) + "\"");
        headerSeen = true;
      } else if (line.front() == '[') {
        key = &parseKeyLine(hive, line);
      } else if (line.front() == '"' || line.front() == '@') {
        if (!key) fail("value outside of any key");
        setValue(*key, parseValueLine(line));
      } else {
        fail("unrecognised line");
      }
    }
    return hive;
  }

 private:
  bool nextLine() {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    line_ = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++lineNo_;
    return true;
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw EHiveFormatError(source_ + ": line " + std::to_string(lineNo_) + ": " + what);
  }

  HiveKey& parseKeyLine(Hive& hive, std::string_view line) {
    if (line.back() != ']') fail("key line without closing \"]\"");
    std::string_view inner = line.substr(1, line.size() - 2);
    if (!inner.empty() && inner.front() == '-') fail("key deletion is not supported");
    if (inner.find_first_of("\r\n") != std::string_view::npos) fail("line break inside a key name");
    std::string path = normalizeKeyPath(inner);
    if (path.empty()) fail("empty key name");
    // An index keeps parsing linear; a key listed twice gathers the values of both sections.
    std::string folded = path;
    for (char& c : folded) c = lowerAscii(c);
    auto [it, added] = index_.try_emplace(std::move(folded), hive.keys.size());
    if (added) hive.keys.push_back(HiveKey{path, {}});
    return hive.keys[it->second];
  }

  // Reads a quoted string starting at s[i] == '"'; leaves i just past the closing quote.
  std::string quoted(std::string_view s, size_t& i) {
    std::string out;
    for (++i; i < s.size(); ++i) {
      char c = s[i];
      if (c == '"') {
        ++i;
        return out;
      }
      if (c == '\\' && i + 1 < s.size()) {
        char n = s[i + 1];
        if (n == '\\' || n == '"') {
          out += n;
          ++i;
          continue;
        }
        if (n == 'n' || n == 'r') {
          out += n == 'n' ? '\n' : '\r';
          ++i;
          continue;
        }
      }
      out += c;
    }
    fail("unterminated string");
  }

  RegValue parseValueLine(std::string_view line) {
    RegValue v;
    size_t i = 0;
    if (line.front() == '@') {
      i = 1;
    } else {
      v.name = quoted(line, i);
    }
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size() || line[i] != '=') fail("expected \"=\" after the value name");
    ++i;
    while (i < line.size() && isBlank(line[i])) ++i;
    std::string_view data = line.substr(i);

    if (!data.empty() && data.front() == '"') {
      size_t j = 0;
      v.text = quoted(data, j);
      if (!trim(data.substr(j)).empty()) fail("unexpected text after the string value");
      return v;
    }
    if (startsWithNoCase(data, "dword:")) {
      std::string_view digits = data.substr(6);
      if (digits.empty() || digits.size() > 8 || !std::all_of(digits.begin(), digits.end(), isHex))
        fail("invalid dword value");
      v.type = RegType::DWord;
      v.number = static_cast<uint32_t>(std::stoul(std::string(digits), nullptr, 16));
      return v;
    }
    if (startsWithNoCase(data, "hex")) {
      v.type = RegType::Other;
      std::string raw(data);
      while (!raw.empty() && raw.back() == '\\') {
        raw.pop_back();
        if (!nextLine()) fail("value continues past the end of the file");
        raw += trim(line_);
      }
      v.text = std::move(raw);
      return v;
    }
    fail(data.empty() ? "missing value" : "unknown value type");
  }

  static void setValue(HiveKey& key, RegValue v) {
    for (auto& existing : key.values) {
      if (sameRegName(existing.name, v.name)) {
        existing = std::move(v);
        return;
      }
    }
    key.values.push_back(std::move(v));
  }

  std::string_view text_;
  const std::string& source_;
  std::unordered_map<std::string, size_t> index_;  // lower-case path -> position in keys
  std::string_view line_;
  size_t pos_ = 0;
  size_t lineNo_ = 0;
};

void appendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  out += '"';
}

}  // namespace

std::optional<std::string> Hive::readString(std::string_view path, const std::string& name) const {
  const HiveKey* key = find(path);
  if (!key) return std::nullopt;
  for (const auto& v : key->values) {
    if (!sameRegName(v.name, name)) continue;
    if (v.type != RegType::String) throw invalidDataType(name);
    return v.text;
  }
  return std::nullopt;
}

bool sameRegName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

std::string normalizeKeyPath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (!part.empty()) {
      if (part.find_first_of("\r\n") != std::string_view::npos)
        throw ERegistryAccessError("Invalid key name '" + std::string(part) + "'");
      if (!out.empty()) out += '\\';
      out += part;
    }
    start = end + 1;
  }
  return out;
}

std::string fullKeyPath(RegRoot root, std::string_view path) {
  std::string rel = normalizeKeyPath(path);
  std::string full = regRootName(root);
  if (!rel.empty()) full += "\\" + rel;
  return full;
}

HiveKey* Hive::find(std::string_view path) {
  for (auto& k : keys)
    if (sameRegName(k.path, path)) return &k;
  return nullptr;
}

const HiveKey* Hive::find(std::string_view path) const { return const_cast<Hive*>(this)->find(path); }

bool Hive::exists(std::string_view path) const {
  return std::any_of(keys.begin(), keys.end(),
                     [&](const HiveKey& k) { return sameRegName(k.path, path) || isBelow(k.path, path); });
}

HiveKey& Hive::ensure(std::string_view path) {
  if (HiveKey* k = find(path)) return *k;
  // Keep a family together: insert after the last key of the nearest ancestor's subtree.
  auto at = keys.end();
  for (std::string_view anc = path; at == keys.end();) {
    size_t cut = anc.rfind('\\');
    if (cut == std::string_view::npos) break;
    anc = anc.substr(0, cut);
    for (auto it = keys.begin(); it != keys.end(); ++it)
      if (sameRegName(it->path, anc) || isBelow(it->path, anc)) at = it + 1;
  }
  return *keys.insert(at, HiveKey{std::string(path), {}});
}

std::vector<std::string> Hive::subKeys(std::string_view path) const {
  std::vector<std::string> names;
  for (const auto& k : keys) {
    if (!isBelow(k.path, path)) continue;
    std::string_view rest = std::string_view(k.path).substr(path.size() + 1);
    std::string_view name = rest.substr(0, rest.find('\\'));
    if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return sameRegName(n, name); }))
      names.emplace_back(name);
  }
  return names;
}

Hive parseHive(std::string_view text, const std::string& source) { return HiveParser(text, source).parse(); }

std::string formatHive(const Hive& hive) {
  std::string out(kHeader);
  out += "\n";
  for (const auto& key : hive.keys) {
    out += "\n[" + key.path + "]\n";
    for (const auto& v : key.values) {
      if (v.name.empty()) {
        out += '@';
      } else {
        appendQuoted(out, v.name);
      }
      out += '=';
      switch (v.type) {
        case RegType::String:
          appendQuoted(out, v.text);
          break;
        case RegType::DWord: {
          char buf[16];
          std::snprintf(buf, sizeof buf, "dword:%08x", v.number);
          out += buf;
          break;
        }
        case RegType::Other:
          out += v.text;
          break;
      }
      out += '\n';
    }
  }
  return out;
}

}  // namespace kn
