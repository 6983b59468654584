#include "KNConfig.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

#include "KNLib.h"
#include "KNRegistryHive.h"

namespace kn {
namespace {

std::mutex companyMutex;
std::string company = "Kestrane";

const char* const kInvalidPHP = "Invalid PHPSerialized string";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads all of `s` as an unsigned number in `base`; false on anything else or above `max`.
bool readUnsigned(std::string_view s, int base, uint64_t max, uint64_t& out) {
  if (s.empty()) return false;
  out = 0;
  for (char c : s) {
    int d = base == 16 ? hexDigit(c) : (isDigit(c) ? c - '0' : -1);
    if (d < 0) return false;
    out = out * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (out > max) return false;
  }
  return true;
}

// The bytes and UTF-16 code units of the character at s[i]. A byte that does not start a
// complete UTF-8 sequence stands for one unit (it decodes to U+FFFD).
std::pair<size_t, size_t> utf8Char(std::string_view s, size_t i) {
  auto b = static_cast<unsigned char>(s[i]);
  size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
  if (len > 1) {
    if (i + len > s.size()) return {1, 1};
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return {1, 1};
  }
  return {len, len == 4 ? 2 : 1};
}

size_t utf16Length(std::string_view s) {
  size_t units = 0;
  for (size_t i = 0; i < s.size();) {
    auto [bytes, u] = utf8Char(s, i);
    i += bytes;
    units += u;
  }
  return units;
}

void appendPHPString(std::string& out, std::string_view s) {
  out += "s:" + std::to_string(utf16Length(s)) + ":\"";
  out += s;
  out += "\";";
}

// Reads the PHP-serialized text strictly; every step checks the bounds of `s`.
class PHPReader {
 public:
  explicit PHPReader(std::string_view s) : s_(s) {}

  void expect(std::string_view literal) {
    if (s_.substr(pos_, literal.size()) != literal) throw Exception(kInvalidPHP);
    pos_ += literal.size();
  }

  // Digits up to `terminator` (consumed); at most nine digits, so no overflow.
  size_t number(char terminator) {
    size_t start = pos_;
    while (pos_ < s_.size() && isDigit(s_[pos_]) && pos_ - start < 9) ++pos_;
    if (pos_ == start || pos_ >= s_.size() || s_[pos_] != terminator) throw Exception(kInvalidPHP);
    size_t n = 0;
    for (size_t i = start; i < pos_; ++i) n = n * 10 + static_cast<size_t>(s_[i] - '0');
    ++pos_;
    return n;
  }

  // s:<length>:"<text>";  with the length in UTF-16 code units.
  std::string string() {
    expect("s:");
    size_t units = number(':');
    expect("\"");
    size_t start = pos_;
    while (units > 0) {
      if (pos_ >= s_.size()) throw Exception(kInvalidPHP);
      auto [bytes, u] = utf8Char(s_, pos_);
      if (u > units) throw Exception(kInvalidPHP);  // would split a surrogate pair
      pos_ += bytes;
      units -= u;
    }
    std::string text(s_.substr(start, pos_ - start));
    expect("\";");
    return text;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

bool isSeparatorSpace(char c) { return static_cast<unsigned char>(c) <= ' '; }

// General format with up to 15 significant digits, the C library's locale decimal separator, and
// the exponent written as "E" with its sign only when negative and no leading zeros (1E20, 1E-5).
std::string formatFloat(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  std::string s = buf;
  size_t e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mantissa = s.substr(0, e), exponent = s.substr(e + 1);
  bool negative = !exponent.empty() && exponent[0] == '-';
  if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+')) exponent.erase(0, 1);
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return mantissa + "E" + (negative ? "-" : "") + exponent;
}

}  // namespace

std::string configCompany() {
  std::lock_guard lock(companyMutex);
  return company;
}

void setConfigCompany(std::string name) {
  std::lock_guard lock(companyMutex);
  company = std::move(name);
}

TScopedConfigCompany::TScopedConfigCompany(std::string name) : previous_(configCompany()) {
  setConfigCompany(std::move(name));
}

TScopedConfigCompany::~TScopedConfigCompany() { setConfigCompany(std::move(previous_)); }

// ---- TConfigParams ----

int TConfigParams::indexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (sameRegName(items_[i].name, name)) return static_cast<int>(i);
  return -1;
}

std::string TConfigParams::value(std::string_view name) const {
  int i = indexOf(name);
  return i < 0 ? std::string() : items_[static_cast<size_t>(i)].value;
}

void TConfigParams::setValue(std::string_view name, std::string value) {
  int i = indexOf(name);
  if (value.empty()) {
    if (i >= 0) items_.erase(items_.begin() + i);
  } else if (i >= 0) {
    items_[static_cast<size_t>(i)].value = std::move(value);
  } else {
    items_.push_back({std::string(name), std::move(value)});
  }
}

std::string TConfigParams::commaText() const {
  std::vector<std::string> lines;
  lines.reserve(items_.size());
  for (const auto& item : items_) lines.push_back(item.name + "=" + item.value);
  return kn::commaText(lines);
}

std::string commaText(const std::vector<std::string>& items) {
  if (items.size() == 1 && items[0].empty()) return "\"\"";
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& s = items[i];
    bool quote = false;
    for (char c : s) quote = quote || isSeparatorSpace(c) || c == '"' || c == ',';
    if (!quote) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

std::vector<std::string> parseCommaText(std::string_view text) {
  std::vector<std::string> items;
  size_t i = 0, n = text.size();
  auto skipSpaces = [&] {
    while (i < n && isSeparatorSpace(text[i])) ++i;
  };
  skipSpaces();
  while (i < n) {
    std::string item;
    if (text[i] == '"') {
      for (++i; i < n; ++i) {
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            item += '"';
            ++i;
          } else {
            ++i;
            break;
          }
        } else {
          item += text[i];
        }
      }
    } else {
      size_t start = i;
      while (i < n && !isSeparatorSpace(text[i]) && text[i] != ',') ++i;
      item.assign(text.substr(start, i - start));
    }
    items.push_back(std::move(item));
    skipSpaces();
    if (i < n && text[i] == ',') {
      if (i + 1 == n) items.emplace_back();
      ++i;
      skipSpaces();
    }
  }
  return items;
}

// ---- TKNConfig ----

TKNConfig::TKNConfig(std::string xApp) : App(std::move(xApp)) {}

std::string TKNConfig::keyPath(std::string_view relative) const {
  return "Software\\" + configCompany() + "\\" + App + "\\" + std::string(relative);
}

void TKNConfig::LoadData() {
  Params.clear();
  // Depth first, a key's values before its subkeys, with a stack of its own: a hive from outside
  // may nest keys deeper than the call stack would allow.
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    std::string relative = std::move(pending.back());
    pending.pop_back();
    std::vector<std::string> subKeys = loadKey(relative);
    for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it)
      pending.push_back(relative.empty() ? *it : relative + "\\" + *it);
  }
}

std::vector<std::string> TKNConfig::loadKey(const std::string& relative) {
  auto reg = registry();
  std::string path = keyPath(relative);
  std::vector<RegValue> values;
  std::vector<std::string> subKeys;
  try {
    try {
      reg->createKey(RootKey, path);
    } catch (const ERegistryAccessError&) {
      // Read what is there even when the hive cannot be written (an unprivileged reader).
      if (!reg->keyExists(RootKey, path)) return {};
    }
    values = reg->values(RootKey, path);
    subKeys = reg->subKeys(RootKey, path);
  } catch (const ERegistryAccessError&) {
    return {};  // a key that cannot be opened contributes nothing
  }
  for (const auto& v : values) {
    std::optional<std::string> text = regValueText(v);
    if (!text) throw invalidDataType(v.name);
    Params.add(relative + "\\" + v.name, std::move(*text));
  }
  return subKeys;
}

void TKNConfig::SaveData() {
  auto reg = registry();
  for (const auto& item : Params) {
    size_t cut = item.name.find_last_of("\\:");
    std::string folder = cut == std::string::npos ? "" : item.name.substr(0, cut + 1);
    std::string valueName = cut == std::string::npos ? item.name : item.name.substr(cut + 1);
    std::string path = keyPath(folder);
    if (valueName.empty()) {
      try {
        reg->createKey(RootKey, path);
      } catch (const ERegistryAccessError&) {
      }
      continue;
    }
    try {
      reg->writeString(RootKey, path, valueName, Params.value(item.name));
    } catch (const ERegistryAccessError&) {
      throw ERegistryException("Failed to set data for '" + valueName + "'");
    }
  }
}

std::string TKNConfig::Get(std::string_view Nome) const {
  std::string stored = Params.value(Nome);
  if (!CSVMode) return stored;
  std::string out;
  for (const auto& item : parseCommaText(stored)) {
    if (!out.empty()) out += '\r';
    out += item;
  }
  return out;
}

void TKNConfig::Put(std::string_view Nome, const std::string& Valor) {
  Params.setValue(Nome, CSVMode ? commaText(splitLines(Valor)) : Valor);
}

int32_t TKNConfig::GetInt(std::string_view Nome) const {
  std::string s = Params.value(Nome);
  std::string_view v = s;
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  bool negative = false;
  if (!v.empty() && (v.front() == '-' || v.front() == '+')) {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  uint64_t n = 0;
  if (!v.empty() && v.front() == '$') {
    if (!readUnsigned(v.substr(1), 16, 0xFFFFFFFFu, n)) return 0;
  } else if (v.size() > 1 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    if (!readUnsigned(v.substr(2), 16, 0xFFFFFFFFu, n)) return 0;
  } else {
    if (!readUnsigned(v, 10, negative ? 2147483648u : 2147483647u, n)) return 0;
  }
  // Hexadecimal covers the whole 32-bit pattern ($FFFFFFFF is -1), as a register would hold it.
  auto bits = static_cast<uint32_t>(negative ? (0 - n) : n);
  return static_cast<int32_t>(bits);
}

void TKNConfig::PutInt(std::string_view Nome, int32_t Valor) { Params.setValue(Nome, std::to_string(Valor)); }

int64_t TKNConfig::GetInt64(std::string_view Nome) const {
  std::string s = Params.value(Nome);
  std::string_view v = s;
  bool plus = !v.empty() && v.front() == '+';  // from_chars takes "-" but not "+"
  if (plus) v.remove_prefix(1);
  if (v.empty() || (plus && v.front() == '-')) return 0;
  int64_t n = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  return (ec == std::errc() && end == v.data() + v.size()) ? n : 0;
}

void TKNConfig::PutInt64(std::string_view Nome, int64_t Valor) {
  Params.setValue(Nome, std::to_string(Valor));
}

bool TKNConfig::GetBool(std::string_view Nome) {
  if (Params.indexOf(Nome) < 0) Params.setValue(Nome, "F");
  return Params.value(Nome) == "T";
}

void TKNConfig::PutBool(std::string_view Nome, bool Valor) { Params.setValue(Nome, Valor ? "T" : "F"); }

double TKNConfig::GetDouble(std::string_view Nome) const {
  std::string s = Params.value(Nome);
  for (char& c : s)
    if (c == ',') c = '.';
  std::string_view v = s;
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  bool plus = !v.empty() && v.front() == '+';
  if (plus) v.remove_prefix(1);
  if (v.empty() || (plus && v.front() == '-')) return 0;
  double d = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), d);
  if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(d)) return 0;
  return d;
}

void TKNConfig::PutDouble(std::string_view Nome, double Valor) { Params.setValue(Nome, formatFloat(Valor)); }

int64_t TKNConfig::getCurrency(std::string_view Nome) const {
  double amount = std::nearbyint(GetDouble(Nome) * 10000.0);  // ties to even
  // Outside the 64-bit range the conversion would be undefined: such text reads as 0.
  if (!(amount >= -9.2233720368547758e18 && amount < 9.2233720368547758e18)) return 0;
  return static_cast<int64_t>(amount);
}

void TKNConfig::setCurrency(std::string_view Nome, int64_t Valor) {
  PutDouble(Nome, static_cast<double>(Valor) / 10000.0);
}

double TKNConfig::getDate(std::string_view Nome) const { return static_cast<double>(GetInt(Nome)); }

void TKNConfig::SetDate(std::string_view Nome, double Valor) {
  double days = std::trunc(Valor);
  // A date beyond the 32-bit day range (millions of years) cannot be stored; it becomes day 0.
  bool fits = days >= std::numeric_limits<int32_t>::min() && days <= std::numeric_limits<int32_t>::max();
  PutInt(Nome, fits ? static_cast<int32_t>(days) : 0);
}

double TKNConfig::GetDateTime(std::string_view Nome) const { return GetDouble(Nome); }

void TKNConfig::SetDateTime(std::string_view Nome, double Valor) { PutDouble(Nome, Valor); }

void* TKNConfig::getObject(std::string_view Nome) const {
  return reinterpret_cast<void*>(static_cast<intptr_t>(GetInt64(Nome)));
}

void TKNConfig::SetObject(std::string_view Nome, const void* Valor) {
  // The full address: a 32-bit integer would cut a 64-bit pointer.
  Params.setValue(Nome, std::to_string(reinterpret_cast<intptr_t>(Valor)));
}

std::string TKNConfig::PHPSerialize() const {
  std::string out = "a:" + std::to_string(Params.size()) + ":{";
  for (const auto& item : Params) {
    appendPHPString(out, item.name);
    appendPHPString(out, Params.value(item.name));
  }
  return out + "}";
}

void TKNConfig::PHPUnserialize(std::string_view S) {
  Params.clear();
  PHPReader in(S);
  in.expect("a:");
  size_t count = in.number(':');
  in.expect("{");
  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t i = 0; i < count; ++i) {  // every pass consumes input, so a huge count ends soon
    std::string name = in.string();
    std::string value = in.string();
    pairs.emplace_back(std::move(name), std::move(value));
  }
  in.expect("}");
  for (const auto& [name, value] : pairs) Put(name, value);
}

}  // namespace kn
