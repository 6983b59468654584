#include "KNRegistryHive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "KNTextCodec.h"

namespace kn {

// The key paths of a hive as a tree of path components, each reached from its parent through one
// hash table, so finding a key costs time in proportion to the length of its path.
class HiveKeyIndex {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr size_t kNoKey = SIZE_MAX;

  struct Node {
    std::string name;  // spelling of the first appearance
    uint32_t parent = kNone;
    size_t key = kNoKey;         // position of the listed key; kNoKey: only a parent of listed keys
    std::vector<uint32_t> kids;  // in order of first appearance
    bool removed = false;
  };

  HiveKeyIndex() { nodes_.emplace_back(); }  // node 0 stands above the root names

  size_t keyCount = 0;  // the number of keys the index was built for

  // The node of `path`; kNone when it is not in the tree (or `path` names nothing).
  uint32_t find(std::string_view path) const {
    uint32_t node = 0;
    bool any = false;
    forEachComponent(path, [&](std::string_view part) {
      if (node != kNone) node = child(node, part);
      any = true;
    });
    return any ? node : kNone;
  }

  // The node of `path` (which names at least one component), adding the missing ones.
  uint32_t add(std::string_view path) {
    uint32_t node = 0;
    forEachComponent(path, [&](std::string_view part) {
      auto [it, added] = slots_.try_emplace(slot(node, part), static_cast<uint32_t>(nodes_.size()));
      if (added) {
        nodes_.push_back(Node{std::string(part), node, kNoKey, {}, false});
        nodes_[node].kids.push_back(it->second);
      }
      node = it->second;
    });
    return node;
  }

  // The deepest node on the way to `path`, its last component excluded; kNone when there is none.
  uint32_t closestAncestor(std::string_view path) const {
    size_t cut = path.rfind('\\');
    if (cut == std::string_view::npos) return kNone;
    uint32_t node = 0, found = kNone;
    forEachComponent(path.substr(0, cut), [&](std::string_view part) {
      if (node == kNone) return;
      node = child(node, part);
      if (node != kNone) found = node;
    });
    return found;
  }

  // Takes `node` and everything below it out of the tree; `onKey` sees the position of every
  // listed key among them. Each node is walked once in the life of the index.
  template <class F>
  void remove(uint32_t node, F onKey) {
    slots_.erase(slot(nodes_[node].parent, nodes_[node].name));
    std::vector<uint32_t> todo{node};
    while (!todo.empty()) {
      Node& n = nodes_[todo.back()];
      todo.pop_back();
      n.removed = true;
      if (n.key != kNoKey) onKey(n.key);
      for (uint32_t kid : n.kids) {
        // Below the detached node nothing is reachable any more; a key listed again later gets
        // new nodes.
        if (!nodes_[kid].removed) todo.push_back(kid);
      }
    }
  }

  // The last listed key position in the subtree of `node`; kNoKey when none.
  size_t lastKeyBelow(uint32_t node) const {
    size_t last = kNoKey;
    std::vector<uint32_t> todo{node};
    while (!todo.empty()) {
      const Node& n = nodes_[todo.back()];
      todo.pop_back();
      if (n.key != kNoKey && (last == kNoKey || n.key > last)) last = n.key;
      for (uint32_t kid : n.kids)
        if (!nodes_[kid].removed) todo.push_back(kid);
    }
    return last;
  }

  size_t nodeCount() const { return nodes_.size() - 1; }
  Node& node(uint32_t n) { return nodes_[n]; }
  const Node& node(uint32_t n) const { return nodes_[n]; }

  template <class F>
  static void forEachComponent(std::string_view path, F f) {
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find('\\', start);
      if (end == std::string_view::npos) end = path.size();
      if (end > start) f(path.substr(start, end - start));
      start = end + 1;
    }
  }

 private:
  // The hash-table key of a component: its parent's number, then the name in lower case.
  static std::string slot(uint32_t parent, std::string_view name) {
    std::string s(sizeof parent + name.size(), '\0');
    std::memcpy(s.data(), &parent, sizeof parent);
    for (size_t i = 0; i < name.size(); ++i) {
      char c = name[i];
      s[sizeof parent + i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return s;
  }

  uint32_t child(uint32_t parent, std::string_view name) const {
    auto it = slots_.find(slot(parent, name));
    return it == slots_.end() ? kNone : it->second;
  }

  std::vector<Node> nodes_;
  std::unordered_map<std::string, uint32_t> slots_;
};

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

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return lowerAscii(c) - 'a' + 10;
}

// The bytes of the canonical list "41,00,42" (no prefix); stops at anything else.
std::string hexBytes(std::string_view list) {
  std::string bytes;
  bytes.reserve(list.size() / 3 + 1);
  for (size_t i = 0; i + 1 < list.size() && isHex(list[i]) && isHex(list[i + 1]); i += 3)
    bytes += static_cast<char>(hexDigit(list[i]) << 4 | hexDigit(list[i + 1]));
  return bytes;
}

class HiveParser {
 public:
  HiveParser(std::string_view text, const std::string& source) : text_(text), source_(source) {}

  Hive parse() {
    bool headerSeen = false;
    while (nextLine()) {
      std::string_view line = trim(line_);
      if (line.empty() || line.front() == ';') continue;
      if (!headerSeen) {
        if (line != kHeader) fail("expected \"" + std::string(kHeader) + "\"");
        headerSeen = true;
      } else if (line.front() == '[') {
        openKey(line);
      } else if (line.front() == '"' || line.front() == '@') {
        if (key_ == kNoKey && !inRemovedKey_) fail("value outside of any key");
        ParsedValue v = parseValueLine(line);  // parsed even when ignored: it may go on over lines
        if (inRemovedKey_) continue;
        if (v.remove) {
          removeValue(v.value.name);
        } else {
          setValue(std::move(v.value));
        }
      } else {
        fail("unrecognised line");
      }
    }
    return finish();
  }

 private:
  static constexpr size_t kNoKey = SIZE_MAX;
  // Keys with more values than this find them through names_ rather than by scanning.
  static constexpr size_t kScanLimit = 16;

  struct ParsedValue {
    RegValue value;
    bool remove = false;  // "name"=-
  };
  struct Entry {
    RegValue value;
    bool removed = false;  // by "name"=-; a later line of that name sets it again in place
  };
  struct Key {
    std::string path;
    std::vector<Entry> values;
    bool removed = false;  // by [-key] of itself or a parent
    bool named = false;    // its values are in names_
  };

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

  void openKey(std::string_view line) {
    if (line.back() != ']') fail("key line without closing \"]\"");
    std::string_view inner = line.substr(1, line.size() - 2);
    bool remove = !inner.empty() && inner.front() == '-';
    if (remove) inner.remove_prefix(1);
    if (inner.find_first_of("\r\n") != std::string_view::npos) fail("line break inside a key name");
    std::string path = normalizeKeyPath(inner);
    if (path.empty()) fail("empty key name");
    if (static_cast<size_t>(std::count(path.begin(), path.end(), '\\')) >= kMaxKeyDepth)
      fail("key nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
    key_ = kNoKey;
    inRemovedKey_ = remove;
    if (remove) {
      uint32_t node = tree_.find(path);
      if (node != HiveKeyIndex::kNone) tree_.remove(node, [&](size_t k) { keys_[k].removed = true; });
      return;
    }
    // A key listed twice gathers the values of both sections.
    uint32_t added = tree_.add(path);
    if (tree_.nodeCount() > kMaxHiveKeyNodes) fail("too many keys");
    HiveKeyIndex::Node& node = tree_.node(added);
    if (node.key == HiveKeyIndex::kNoKey) {
      node.key = keys_.size();
      keys_.push_back(Key{std::move(path), {}, false, false});
    }
    key_ = node.key;
  }

  std::string nameSlot(std::string_view name) const {
    std::string s(sizeof key_ + name.size(), '\0');
    std::memcpy(s.data(), &key_, sizeof key_);
    for (size_t i = 0; i < name.size(); ++i) s[sizeof key_ + i] = lowerAscii(name[i]);
    return s;
  }

  // Position of the value `name` in the current key, removed or not; kNoKey when never set.
  size_t findValue(std::string_view name) const {
    const Key& key = keys_[key_];
    if (key.named) {
      auto it = names_.find(nameSlot(name));
      return it == names_.end() ? kNoKey : it->second;
    }
    for (size_t i = 0; i < key.values.size(); ++i)
      if (sameRegName(key.values[i].value.name, name)) return i;
    return kNoKey;
  }

  void setValue(RegValue v) {
    Key& key = keys_[key_];
    size_t at = findValue(v.name);
    if (at != kNoKey) {
      key.values[at] = Entry{std::move(v), false};
      return;
    }
    key.values.push_back(Entry{std::move(v), false});
    if (key.named) {
      names_.emplace(nameSlot(key.values.back().value.name), key.values.size() - 1);
    } else if (key.values.size() > kScanLimit) {
      key.named = true;
      for (size_t i = 0; i < key.values.size(); ++i) names_.emplace(nameSlot(key.values[i].value.name), i);
    }
  }

  void removeValue(std::string_view name) {
    size_t at = findValue(name);
    if (at != kNoKey) keys_[key_].values[at].removed = true;
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

  ParsedValue parseValueLine(std::string_view line) {
    ParsedValue parsed;
    RegValue& v = parsed.value;
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

    if (data == "-") {
      parsed.remove = true;
    } else if (!data.empty() && data.front() == '"') {
      size_t j = 0;
      v.text = quoted(data, j);
      if (!trim(data.substr(j)).empty()) fail("unexpected text after the string value");
    } else if (startsWithNoCase(data, "dword:")) {
      std::string_view digits = data.substr(6);
      if (digits.empty() || digits.size() > 8 || !std::all_of(digits.begin(), digits.end(), isHex))
        fail("invalid dword value");
      v.type = RegType::DWord;
      v.number = static_cast<uint32_t>(std::stoul(std::string(digits), nullptr, 16));
    } else if (startsWithNoCase(data, "hex")) {
      v.type = RegType::Other;
      v.text = hexValue(data.substr(3));
    } else {
      fail(data.empty() ? "missing value" : "unknown value type");
    }
    return parsed;
  }

  // "(<type>):<bytes>" or ":<bytes>" after "hex", with its continuation lines, in canonical form.
  std::string hexValue(std::string_view rest) {
    std::string out = "hex";
    if (!rest.empty() && rest.front() == '(') {
      size_t close = rest.find(')');
      std::string_view type = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
      if (close == std::string_view::npos || type.empty() || type.size() > 8 ||
          !std::all_of(type.begin(), type.end(), isHex))
        fail("invalid hex value type");
      char buf[16];
      std::snprintf(buf, sizeof buf, "(%lx)", std::stoul(std::string(type), nullptr, 16));
      out += buf;
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':') fail("invalid hex value");
    out += ':';
    std::string list(trim(rest.substr(1)));
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      if (!nextLine()) fail("value continues past the end of the file");
      list += trim(line_);
    }
    // Bytes of one or two hex digits separated by commas; one trailing comma is tolerated.
    size_t start = 0;
    bool first = true;
    while (start < list.size()) {
      size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      std::string_view byte = trim(std::string_view(list).substr(start, end - start));
      if (byte.empty() && end == list.size() - 1) break;  // "...,"
      if (byte.empty() || byte.size() > 2 || !isHex(byte[0]) || (byte.size() == 2 && !isHex(byte[1])))
        fail("invalid byte in hex value");
      if (!first) out += ',';
      first = false;
      out += byte.size() == 1 ? '0' : lowerAscii(byte[0]);
      out += lowerAscii(byte.back());
      start = end + 1;
    }
    return out;
  }

  Hive finish() {
    Hive hive;
    hive.keys.reserve(keys_.size());
    for (Key& key : keys_) {
      if (key.removed) continue;
      HiveKey& out = hive.keys.emplace_back(HiveKey{std::move(key.path), {}});
      out.values.reserve(key.values.size());
      for (Entry& e : key.values)
        if (!e.removed) out.values.push_back(std::move(e.value));
    }
    hive.reindex();
    return hive;
  }

  std::string_view text_;
  const std::string& source_;
  std::vector<Key> keys_;
  HiveKeyIndex tree_;                              // paths of keys_; removed keys leave it
  std::unordered_map<std::string, size_t> names_;  // key position + lower-case name -> value position
  size_t key_ = kNoKey;                            // the key whose section is being read
  bool inRemovedKey_ = false;                      // in a [-key] section: value lines are ignored
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

// A hex value as regedit writes it: lines of at most 80 characters, each but the last ending in
// ",\" and the next beginning with two spaces. `lineStart` is where the value's line begins.
void appendHex(std::string& out, size_t lineStart, std::string_view text) {
  size_t colon = text.find(':');
  if (!startsWithNoCase(text, "hex") || colon == std::string_view::npos) {
    out += text;  // not in the canonical form the parser keeps: written as it is
    return;
  }
  out += text.substr(0, colon + 1);
  std::string_view bytes = text.substr(colon + 1);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    std::string_view piece = bytes.substr(i, 3);  // "xx," or the last "xx"
    if (out.size() - lineStart + piece.size() > 79 && i > 0) {
      out += "\\\n  ";
      lineStart = out.size() - 2;
    }
    out += piece;
  }
}

}  // namespace

std::optional<std::string> regValueText(const RegValue& value) {
  if (value.type == RegType::String) return value.text;
  if (value.type != RegType::Other) return std::nullopt;
  std::string_view text = value.text;
  if (!startsWithNoCase(text, "hex(1):") && !startsWithNoCase(text, "hex(2):")) return std::nullopt;
  std::string bytes = hexBytes(text.substr(7));
  // Windows reads the text up to its first NUL (the terminator that the data normally carries).
  size_t end = 0;
  while (end + 1 < bytes.size() && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
  return decodeUtf16LE(std::string_view(bytes).substr(0, end));
}

std::optional<std::string> Hive::readString(std::string_view path, const std::string& name) const {
  const HiveKey* key = find(path);
  if (!key) return std::nullopt;
  for (const auto& v : key->values) {
    if (!sameRegName(v.name, name)) continue;
    std::optional<std::string> text = regValueText(v);
    if (!text) throw invalidDataType(name);
    return text;
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
  if (static_cast<size_t>(std::count(full.begin(), full.end(), '\\')) >= kMaxKeyDepth)
    throw ERegistryAccessError("Key nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
  return full;
}

void Hive::reindex() {
  auto index = std::make_shared<HiveKeyIndex>();
  for (size_t i = 0; i < keys.size(); ++i) {
    HiveKeyIndex::Node& node = index->node(index->add(keys[i].path));
    if (node.key == HiveKeyIndex::kNoKey) node.key = i;
  }
  index->keyCount = keys.size();
  index_ = std::move(index);
}

const HiveKeyIndex* Hive::index() const {
  return index_ && index_->keyCount == keys.size() ? index_.get() : nullptr;
}

HiveKey* Hive::find(std::string_view path) {
  if (!index()) reindex();
  return const_cast<HiveKey*>(std::as_const(*this).find(path));
}

const HiveKey* Hive::find(std::string_view path) const {
  if (const HiveKeyIndex* idx = index()) {
    uint32_t node = idx->find(path);
    if (node == HiveKeyIndex::kNone) return nullptr;
    size_t k = idx->node(node).key;
    return k < keys.size() ? &keys[k] : nullptr;
  }
  for (const auto& k : keys)
    if (sameRegName(k.path, path)) return &k;
  return nullptr;
}

bool Hive::exists(std::string_view path) const {
  if (const HiveKeyIndex* idx = index()) return idx->find(path) != HiveKeyIndex::kNone;
  return std::any_of(keys.begin(), keys.end(),
                     [&](const HiveKey& k) { return sameRegName(k.path, path) || isBelow(k.path, path); });
}

HiveKey& Hive::ensure(std::string_view path) {
  if (HiveKey* k = find(path)) return *k;  // find leaves the index current
  // Keep a family together: insert after the last key below the nearest listed ancestor.
  size_t at = keys.size();
  uint32_t anc = index_->closestAncestor(path);
  if (anc != HiveKeyIndex::kNone) {
    size_t last = index_->lastKeyBelow(anc);
    if (last != HiveKeyIndex::kNoKey) at = last + 1;
  }
  keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), HiveKey{std::string(path), {}});
  reindex();
  return keys[at];
}

std::vector<std::string> Hive::subKeys(std::string_view path) const {
  std::vector<std::string> names;
  if (const HiveKeyIndex* idx = index()) {
    uint32_t node = idx->find(path);
    if (node == HiveKeyIndex::kNone) return names;
    for (uint32_t kid : idx->node(node).kids)
      if (!idx->node(kid).removed) names.push_back(idx->node(kid).name);
    return names;
  }
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
    // A path beginning with "-" would read as a deletion: a leading separator, which reading
    // drops, keeps it a key.
    out += key.path.starts_with('-') ? "\n[\\" : "\n[";
    out += key.path;
    out += "]\n";
    for (const auto& v : key.values) {
      size_t lineStart = out.size();
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
          appendHex(out, lineStart, v.text);
          break;
      }
      out += '\n';
    }
  }
  return out;
}

}  // namespace kn
