#include "ext.tables.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "KNDateMath.h"
#include "ext.channel.h"
#include "ext.jsontext.h"
#include "knLOG2.h"

namespace kn {

namespace {

using json = nlohmann::json;

constexpr const char* kLogClass = "TExtChannel";

// A whole text that is a decimal number ("." as decimal point, optional sign and exponent);
// nothing else is allowed around it. Infinite, NaN and out-of-range texts are not numbers.
std::optional<double> readDecimal(std::string_view t) {
  std::size_t i = 0, digits = 0;
  auto skipDigits = [&] {
    std::size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i - from;
  };
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  digits += skipDigits();
  if (i < t.size() && t[i] == '.') ++i, digits += skipDigits();
  if (digits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (skipDigits() == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  if (t.front() == '+') t.remove_prefix(1);  // from_chars takes no plus sign
  double x = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), x);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return x;
}

// A member's text: a string as it is, null as "", anything else as its compact JSON text.
std::string textOf(const json& v) {
  if (v.is_string()) return v.get_ref<const std::string&>();
  if (v.is_null()) return "";
  return jsonText(v, false);  // any depth: no recursion
}

const json* findMember(const json& rec, const std::string& name) {
  if (!rec.is_object()) return nullptr;
  if (auto it = rec.find(name); it != rec.end()) return &*it;
  for (const auto& [key, value] : rec.items()) {
    if (sameFieldName(key, name)) return &value;
  }
  return nullptr;
}

[[noreturn]] void outOfRange(const std::string& field, const std::string& text) {
  throw EConvertError("Value " + text + " for field '" + field + "' is out of range");
}

// A member as a 64-bit integer; nothing when missing or unreadable (the caller stores 0).
// Floating numbers are cut toward zero.
std::optional<std::int64_t> readInteger(const json* v, const std::string& field) {
  if (!v) return std::nullopt;
  if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<std::int64_t>();
  if (v->is_number_unsigned()) {
    auto u = v->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) outOfRange(field, v->dump());
    return static_cast<std::int64_t>(u);
  }
  if (v->is_number_float()) {
    double d = std::trunc(v->get<double>());
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) outOfRange(field, v->dump());
    return static_cast<std::int64_t>(d);
  }
  if (v->is_string()) {
    std::string_view t = v->get_ref<const std::string&>();
    std::int64_t n = 0;
    std::string_view digits = !t.empty() && t.front() == '+' ? t.substr(1) : t;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) outOfRange(field, std::string(t));
    if (ec != std::errc()) return std::nullopt;
    return n;
  }
  return std::nullopt;
}

// A member as a floating number: any JSON number, or a string that is a decimal number.
std::optional<double> readFloat(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number()) return v->get<double>();
  if (v->is_string()) return readDecimal(v->get_ref<const std::string&>());
  return std::nullopt;
}

// A member as currency (the amount times 10000, to the nearest unit).
std::optional<TCurrency> readCurrency(const json* v, const std::string& field) {
  if (v && v->is_number_integer()) {
    std::int64_t n = *readInteger(v, field);
    TCurrency c = 0;
    if (__builtin_mul_overflow(n, 10000, &c)) outOfRange(field, v->dump());
    return c;
  }
  std::optional<double> d = readFloat(v);
  if (!d) return std::nullopt;
  double scaled = std::nearbyint(*d * 10000.0);
  if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0)) outOfRange(field, textOf(*v));
  return static_cast<TCurrency>(scaled);
}

// ---- Column inference ----

struct Column {
  std::string name;  // as first seen
  char kind;         // B C D I S (M is never inferred)
  std::size_t size;  // greatest text length seen, in characters
};

std::string entryText(const Column& c) { return c.name + "=" + c.kind + std::to_string(c.size); }

// Entries joined by commas; an entry with a blank, control character, comma or quote is quoted,
// its quotes doubled.
std::string commaText(const std::vector<Column>& columns) {
  std::string out;
  for (const Column& c : columns) {
    std::string entry = entryText(c);
    bool quote = std::any_of(entry.begin(), entry.end(),
                             [](unsigned char ch) { return ch <= ' ' || ch == ',' || ch == '"'; });
    if (!out.empty()) out += ',';
    if (!quote) {
      out += entry;
      continue;
    }
    out += '"';
    for (char ch : entry) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    out += '"';
  }
  return out;
}

char kindOfValue(const json& v, const JsonDocument* source) {
  switch (v.type()) {
    case json::value_t::boolean:
      return 'B';
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      return 'I';
    case json::value_t::number_float:
      switch (source ? source->numberKind(v) : jsonNumberKind(v)) {
        case JsonNumberKind::Currency:
          return 'C';
        case JsonNumberKind::Integer:
          return 'I';
        case JsonNumberKind::Float:
          return 'D';
      }
      return 'D';
    case json::value_t::string:
      return 'S';
    default:
      return 0;
  }
}

// The kind of a text that reads as a number: I or D when it is the number's own general text,
// C when it is another spelling of a number that is not zero at four decimals (or a spelled-out
// zero such as "0.00"), else S.
char kindOfText(const std::string& name, const std::string& t, const void* owner) {
  std::optional<double> x = readDecimal(t);
  if (!x) return 'S';
  if (generalFloatText(*x) == t) return *x == std::trunc(*x) ? 'I' : 'D';
  static const char* const kZeros[] = {"0.0", "0.00", "0.000", "0.0000"};
  bool spelledZero = std::find(std::begin(kZeros), std::end(kZeros), t) != std::end(kZeros);
  if (std::nearbyint(*x * 10000.0) == 0.0 && !spelledZero) return 'S';
  char value[64];
  std::snprintf(value, sizeof value, "%.4f", *x);
  logObj(kLogClass, owner, "!! is currency: " + name + " [" + t + "]=" + value);
  return 'C';
}

void inferColumn(std::vector<Column>& columns, const std::string& name, const json& v,
                 const JsonDocument* source, const void* owner) {
  auto it = std::find_if(columns.begin(), columns.end(),
                         [&](const Column& c) { return sameFieldName(c.name, name); });
  char previous = it != columns.end() ? it->kind : 0;
  std::size_t size = it != columns.end() ? it->size : 0;
  char kind = kindOfValue(v, source);
  std::string t = textOf(v);
  size = std::max(size, textLength(t));
  if (kind == 'S') kind = kindOfText(name, t, owner);
  if (previous == 'S') kind = 'S';
  if (kind == 0) return;
  if (it == columns.end()) {
    columns.push_back({name, kind, size});
  } else {
    it->kind = kind;
    it->size = size;
  }
}

TFieldType fieldTypeOf(char kind) {
  switch (kind) {
    case 'B':
      return TFieldType::Boolean;
    case 'C':
      return TFieldType::Currency;
    case 'D':
      return TFieldType::Float;
    case 'I':
      return TFieldType::Integer;
    case 'M':
      return TFieldType::Memo;
    default:
      return TFieldType::String;
  }
}

void requireArray(const json& a, const char* operation) {
  if (!a.is_array())
    throw EConvertError(std::string(operation) + ": expected a JSON array, got " + a.type_name());
}

}  // namespace

std::unique_ptr<TKNMemTable> createMTFromArray(const json& a, const void* owner, const JsonDocument* source) {
  std::vector<Column> columns;
  if (!a.is_null()) {
    requireArray(a, "createMTFromArray");
    for (const json& element : a) {
      if (!element.is_object()) continue;
      for (const auto& [name, value] : element.items()) inferColumn(columns, name, value, source, owner);
    }
  }
  logObj(kLogClass, owner, "Fields: " + commaText(columns));

  auto table = std::make_unique<TKNMemTable>();
  for (const Column& c : columns) table->addField(c.name, fieldTypeOf(c.kind), c.size);
  if (const TKNField* id = table->findField("id")) {
    table->addIndex("PrimaryKey", {id->name()}, TIndexOptions{.primary = true, .unique = true});
    table->setActiveIndex("PrimaryKey");
  }
  table->open();
  copyArrayToMT(a, *table, owner);
  return table;
}

void copyArrayToMT(const json& a, TKNMemTable& mt, const void* owner) {
  mt.emptyTable();
  if (a.is_null()) {
    logObj(kLogClass, owner, "copyArrayToMT: empty array, so table is empty too.");
    return;
  }
  requireArray(a, "copyArrayToMT");
  for (const json& element : a) {
    mt.append();
    try {
      copySuperObjectToMTRecord(element, mt, owner);
      mt.post();
    } catch (...) {
      mt.cancel();
      throw;
    }
  }
  mt.first();
}

void copySuperObjectToMTRecord(const json& rec, TKNMemTable& mt, const void* owner) {
  for (std::size_t i = 0; i < mt.fieldCount(); ++i) {
    TKNField& f = mt.field(i);
    const json* m = findMember(rec, f.name());
    switch (f.type()) {
      case TFieldType::String:
      case TFieldType::Memo:
        f.setText(m ? textOf(*m) : "");
        break;
      case TFieldType::Integer:
      case TFieldType::LargeInt:
        f.setLargeInt(readInteger(m, f.name()).value_or(0));
        break;
      case TFieldType::Currency:
        f.setCurrency(readCurrency(m, f.name()).value_or(0));
        break;
      case TFieldType::Date:
        strToDateField(m ? textOf(*m) : "", f);
        break;
      case TFieldType::DateTime:
        strToDateTimeField(m ? textOf(*m) : "", f, owner);
        break;
      case TFieldType::Boolean:
        if (m && m->is_boolean())
          f.setBoolean(m->get<bool>());
        else
          f.clear();
        break;
      case TFieldType::Float:
        if (std::optional<double> d = readFloat(m))
          f.setFloat(*d);
        else
          f.clear();
        break;
    }
  }
}

json DatasetRecordToSuperobject(const TKNMemTable& ds) {
  json out = json::object();
  for (std::size_t i = 0; i < ds.fieldCount(); ++i) {
    const TKNField& f = ds.field(i);
    switch (f.type()) {
      case TFieldType::Integer:
        out[f.name()] = f.asInteger();
        break;
      case TFieldType::Currency:
        out[f.name()] = static_cast<double>(f.asCurrency()) / 10000.0;
        break;
      case TFieldType::Date:
        if (f.asDateTime() > 1.0) out[f.name()] = dateToStr(f.asDateTime());
        break;
      case TFieldType::DateTime:
        if (f.asDateTime() > 1.0) out[f.name()] = dateTimeToStr(f.asDateTime());
        break;
      default:
        out[f.name()] = f.asText();
        break;
    }
  }
  return out;
}

json DatasetToSuperObject(const TKNMemTable&) {
  throw Exception("TExtChannel.DatasetToSuperObject not implemented");
}

std::string dateTimeToStr(TDateTime d) { return dateTimeToText(d, '-'); }

std::string dateToStr(TDateTime d) { return dateTimeToStr(d).substr(0, 10); }

namespace {

// valInt of characters [pos, pos + len) counted from 0; what lies past the end reads as "".
int fieldAt(std::string_view s, std::size_t pos, std::size_t len) {
  return pos < s.size() ? valInt(s.substr(pos, len)) : 0;
}

}  // namespace

TDateTime strToDate(std::string_view s) {
  try {
    return encodeDateTimeParts(fieldAt(s, 0, 4), fieldAt(s, 5, 2), fieldAt(s, 8, 2), 0, 0, 0, 0);
  } catch (const EConvertError&) {
    return -1.0;
  }
}

TDateTime strToDateTime(std::string_view s, const void* owner) {
  if (s.empty()) return 0.0;
  if (s.find_first_of("-/") != std::string_view::npos) {
    try {
      return encodeDateTimeParts(fieldAt(s, 0, 4), fieldAt(s, 5, 2), fieldAt(s, 8, 2), fieldAt(s, 11, 2),
                                 fieldAt(s, 14, 2), fieldAt(s, 17, 2), 0);
    } catch (const EConvertError&) {
      return -1.0;
    }
  }
  // Whole seconds since 1970-01-01 00:00 on the local clock.
  double seconds = std::trunc(readDecimal(s).value_or(0.0));
  TDateTime result = kUnixEpochDateTime + seconds / 86400.0;
  std::string text;
  try {
    text = dateTimeToStr(result);
  } catch (const EConvertError&) {
    return -1.0;
  }
  logObj(kLogClass, owner, "Unix timestamp [" + std::string(s) + "]? " + text);
  return result;
}

void strToDateField(std::string_view s, TKNField& f) {
  TDateTime d = strToDate(s);
  if (d > 0.0)
    f.setDateTime(d);
  else
    f.clear();
}

void strToDateTimeField(std::string_view s, TKNField& f, const void* owner) {
  TDateTime d = strToDateTime(s, owner);
  if (d > 0.0)
    f.setDateTime(d);
  else
    f.clear();
}

// TExtChannel's members of the same names.

std::unique_ptr<TKNMemTable> TExtChannel::createMTFromArray(const nlohmann::json& a,
                                                            const JsonDocument* source) const {
  return kn::createMTFromArray(a, this, source);
}
void TExtChannel::copyArrayToMT(const nlohmann::json& a, TKNMemTable& mt) const {
  kn::copyArrayToMT(a, mt, this);
}
void TExtChannel::copySuperObjectToMTRecord(const nlohmann::json& rec, TKNMemTable& mt) const {
  kn::copySuperObjectToMTRecord(rec, mt, this);
}
nlohmann::json TExtChannel::DatasetRecordToSuperobject(const TKNMemTable& ds) {
  return kn::DatasetRecordToSuperobject(ds);
}
nlohmann::json TExtChannel::DatasetToSuperObject(const TKNMemTable& ds) { kn::DatasetToSuperObject(ds); }
std::string TExtChannel::dateToStr(TDateTime d) { return kn::dateToStr(d); }
std::string TExtChannel::dateTimeToStr(TDateTime d) { return kn::dateTimeToStr(d); }
TDateTime TExtChannel::strToDate(std::string_view s) { return kn::strToDate(s); }
TDateTime TExtChannel::strToDateTime(std::string_view s) const { return kn::strToDateTime(s, this); }
void TExtChannel::strToDateField(std::string_view s, TKNField& f) { kn::strToDateField(s, f); }
void TExtChannel::strToDateTimeField(std::string_view s, TKNField& f) const {
  kn::strToDateTimeField(s, f, this);
}

}  // namespace kn
