#include "KNMemTable.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>

#include "KNDateMath.h"

namespace kn {

namespace {

std::string currencyText(TCurrency v) {
  // Exact: the integral part, then up to four decimals without trailing zeros.
  std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string text = (v < 0 ? "-" : "") + std::to_string(magnitude / 10000);
  if (std::uint64_t fraction = magnitude % 10000) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04" PRIu64, fraction);
    std::string_view d(digits);
    text += '.';
    text += d.substr(0, d.find_last_not_of('0') + 1);
  }
  return text;
}

}  // namespace

bool sameFieldName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
  });
}

// Every byte that does not continue a UTF-8 sequence begins a character.
std::size_t textLength(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; }));
}

std::string generalFloatText(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", x);
  std::string text = buf;
  std::size_t e = text.find('e');
  if (e == std::string::npos) return text;
  std::string exponent = text.substr(e + 1);
  bool negative = exponent[0] == '-';
  exponent.erase(0, 1);
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return text.substr(0, e) + "E" + (negative ? "-" : "") + exponent;
}

// ---- TKNField ----------------------------------------------------------------------------------

const TFieldValue& TKNField::value() const {
  static const TFieldValue kNull;
  const TKNMemTable::Record* record = table_.currentRecord();
  return record ? (*record)[index_] : kNull;
}

void TKNField::store(TFieldValue value) {
  if (!table_.appending_) throw ETableError("Field '" + name_ + "' can only be set while appending a record");
  table_.buffer_[index_] = std::move(value);
}

void TKNField::wrongType(const char* as) const {
  throw ETableError("Field '" + name_ + "' of type " + std::to_string(ordinal(type_)) + " cannot be " + as);
}

bool TKNField::isNull() const { return std::holds_alternative<std::monostate>(value()); }

int TKNField::asInteger() const {
  std::int64_t v = asLargeInt();
  if (v < INT_MIN || v > INT_MAX) throw EConvertError("Value of field '" + name_ + "' exceeds 32 bits");
  return static_cast<int>(v);
}

std::int64_t TKNField::asLargeInt() const {
  if (type_ != TFieldType::Integer && type_ != TFieldType::LargeInt) wrongType("read as integer");
  const auto* v = std::get_if<std::int64_t>(&value());
  return v ? *v : 0;
}

TCurrency TKNField::asCurrency() const {
  if (type_ != TFieldType::Currency) wrongType("read as currency");
  const auto* v = std::get_if<std::int64_t>(&value());
  return v ? *v : 0;
}

TDateTime TKNField::asDateTime() const {
  if (type_ != TFieldType::Date && type_ != TFieldType::DateTime) wrongType("read as date-time");
  const auto* v = std::get_if<double>(&value());
  return v ? *v : 0.0;
}

double TKNField::asFloat() const {
  switch (type_) {
    case TFieldType::Float: {
      const auto* v = std::get_if<double>(&value());
      return v ? *v : 0.0;
    }
    case TFieldType::Currency:
      return static_cast<double>(asCurrency()) / 10000.0;
    case TFieldType::Integer:
    case TFieldType::LargeInt:
      return static_cast<double>(asLargeInt());
    default:
      wrongType("read as float");
  }
}

bool TKNField::asBoolean() const {
  if (type_ != TFieldType::Boolean) wrongType("read as boolean");
  const auto* v = std::get_if<bool>(&value());
  return v && *v;
}

std::string TKNField::asText() const {
  const TFieldValue& v = value();
  if (std::holds_alternative<std::monostate>(v)) return "";
  switch (type_) {
    case TFieldType::String:
    case TFieldType::Memo:
      return std::get<std::string>(v);
    case TFieldType::Integer:
    case TFieldType::LargeInt:
      return std::to_string(std::get<std::int64_t>(v));
    case TFieldType::Currency:
      return currencyText(std::get<std::int64_t>(v));
    case TFieldType::Boolean:
      return std::get<bool>(v) ? "True" : "False";
    case TFieldType::Float:
      return generalFloatText(std::get<double>(v));
    case TFieldType::Date:
      return dateTimeToText(std::get<double>(v)).substr(0, 10);
    case TFieldType::DateTime:
      return dateTimeToText(std::get<double>(v));
  }
  return "";
}

void TKNField::setText(std::string_view text) {
  if (type_ == TFieldType::String) {
    if (textLength(text) > size_) {
      throw ETableError("Text of " + std::to_string(textLength(text)) + " characters does not fit field '" +
                        name_ + "' of size " + std::to_string(size_));
    }
  } else if (type_ != TFieldType::Memo) {
    wrongType("set as text");
  }
  store(std::string(text));
}

void TKNField::setInteger(std::int32_t value) {
  switch (type_) {
    case TFieldType::Integer:
    case TFieldType::LargeInt:
      return store(std::int64_t{value});
    case TFieldType::Currency:
      return store(std::int64_t{value} * 10000);
    case TFieldType::Float:
      return store(double{static_cast<double>(value)});
    default:
      wrongType("set as integer");
  }
}

void TKNField::setLargeInt(std::int64_t value) {
  if (type_ == TFieldType::Integer && (value < INT_MIN || value > INT_MAX)) {
    throw EConvertError("Value " + std::to_string(value) + " does not fit the 32-bit field '" + name_ + "'");
  }
  if (type_ != TFieldType::Integer && type_ != TFieldType::LargeInt) wrongType("set as large integer");
  store(value);
}

void TKNField::setCurrency(TCurrency value) {
  if (type_ != TFieldType::Currency) wrongType("set as currency");
  store(value);
}

void TKNField::setDateTime(TDateTime value) {
  if (type_ == TFieldType::Date)
    value = std::trunc(value);
  else if (type_ != TFieldType::DateTime)
    wrongType("set as date-time");
  store(value);
}

void TKNField::setFloat(double value) {
  if (type_ != TFieldType::Float) wrongType("set as float");
  store(value);
}

void TKNField::setBoolean(bool value) {
  if (type_ != TFieldType::Boolean) wrongType("set as boolean");
  store(value);
}

void TKNField::clear() { store(std::monostate{}); }

// ---- TKNMemTable -------------------------------------------------------------------------------

struct TKNMemTable::Index {
  std::string name;
  std::vector<std::size_t> fields;  // positions of the key fields
  bool unique = false;
  std::vector<std::size_t> order;  // record numbers sorted by key; equal keys in order of appending

  bool less(const Record& a, const Record& b) const {
    for (std::size_t f : fields) {
      if (a[f] < b[f]) return true;
      if (b[f] < a[f]) return false;
    }
    return false;
  }
};

TKNMemTable::TKNMemTable() = default;
TKNMemTable::~TKNMemTable() = default;

TKNField& TKNMemTable::addField(std::string name, TFieldType type, std::size_t size) {
  if (open_) throw ETableError("Field '" + name + "' cannot be added to an open table");
  if (findField(name)) throw ETableError("Duplicate field name '" + name + "'");
  if (type != TFieldType::String) size = 0;
  fields_.push_back(
      std::unique_ptr<TKNField>(new TKNField(*this, fields_.size(), std::move(name), type, size)));
  return *fields_.back();
}

void TKNMemTable::addIndex(std::string name, const std::vector<std::string>& fieldNames,
                           TIndexOptions options) {
  if (open_) throw ETableError("Index '" + name + "' cannot be added to an open table");
  auto same = [&](const Index& x) { return sameFieldName(x.name, name); };
  if (std::any_of(indexes_.begin(), indexes_.end(), same))
    throw ETableError("Duplicate index name '" + name + "'");
  if (fieldNames.empty()) throw ETableError("Index '" + name + "' names no field");
  Index index{name, {}, options.primary || options.unique, {}};
  for (const std::string& f : fieldNames) index.fields.push_back(fieldByName(f).index_);
  indexes_.push_back(std::move(index));
}

void TKNMemTable::setActiveIndex(std::string_view indexName) {
  int found = -1;
  if (!indexName.empty()) {
    for (std::size_t i = 0; i < indexes_.size(); ++i) {
      if (sameFieldName(indexes_[i].name, indexName)) found = static_cast<int>(i);
    }
    if (found < 0) throw ETableError("Index '" + std::string(indexName) + "' not found");
  }
  activeIndex_ = found;
  position_ = 0;
}

void TKNMemTable::open() {
  if (open_) return;
  open_ = true;
  position_ = 0;
}

void TKNMemTable::requireOpen(const char* operation) const {
  if (!open_) throw ETableError(std::string("Cannot ") + operation + " a closed table");
}

void TKNMemTable::emptyTable() {
  requireOpen("empty");
  cancel();
  records_.clear();
  for (Index& index : indexes_) index.order.clear();
  position_ = 0;
}

void TKNMemTable::append() {
  requireOpen("append to");
  if (appending_) throw ETableError("A record is already being appended; post or cancel it first");
  buffer_.assign(fields_.size(), TFieldValue{});
  appending_ = true;
}

void TKNMemTable::post() {
  if (!appending_) throw ETableError("No record is being appended");
  // Check every unique index before changing anything, so a rejected record leaves no trace.
  std::vector<std::size_t> insertAt;
  for (const Index& index : indexes_) {
    auto less = [&](std::size_t r, const Record& b) { return index.less(records_[r], b); };
    auto lower = std::lower_bound(index.order.begin(), index.order.end(), buffer_, less);
    if (index.unique && lower != index.order.end() && !index.less(buffer_, records_[*lower])) {
      std::string key;
      for (std::size_t f : index.fields) {
        key += (key.empty() ? "" : ", ") + fields_[f]->name() + " = " + fields_[f]->asText();
      }
      throw ETableError("Key violation in index '" + index.name + "': a record with " + key +
                        " already exists");
    }
    auto greater = [&](const Record& b, std::size_t r) { return index.less(b, records_[r]); };
    insertAt.push_back(std::upper_bound(lower, index.order.end(), buffer_, greater) - index.order.begin());
  }
  std::size_t number = records_.size();
  records_.push_back(std::move(buffer_));
  for (std::size_t i = 0; i < indexes_.size(); ++i) {
    auto& order = indexes_[i].order;
    order.insert(order.begin() + static_cast<std::ptrdiff_t>(insertAt[i]), number);
  }
  appending_ = false;
  position_ = activeIndex_ < 0 ? number : insertAt[static_cast<std::size_t>(activeIndex_)];
}

void TKNMemTable::cancel() {
  appending_ = false;
  buffer_.clear();
}

void TKNMemTable::requireBrowsing() const {
  requireOpen("navigate");
  if (appending_) throw ETableError("A record is being appended; post or cancel it first");
}

void TKNMemTable::first() {
  requireBrowsing();
  position_ = 0;
}

void TKNMemTable::next() {
  requireBrowsing();
  if (position_ < records_.size()) ++position_;
}

bool TKNMemTable::eof() const { return position_ >= records_.size(); }

const std::vector<std::size_t>* TKNMemTable::activeOrder() const {
  return activeIndex_ < 0 ? nullptr : &indexes_[static_cast<std::size_t>(activeIndex_)].order;
}

std::size_t TKNMemTable::recordAt(std::size_t position) const {
  const auto* order = activeOrder();
  return order ? (*order)[position] : position;
}

const TKNMemTable::Record* TKNMemTable::currentRecord() const {
  if (appending_) return &buffer_;
  return eof() ? nullptr : &records_[recordAt(position_)];
}

TKNField* TKNMemTable::findField(std::string_view name) {
  for (auto& f : fields_) {
    if (sameFieldName(f->name(), name)) return f.get();
  }
  return nullptr;
}

const TKNField* TKNMemTable::findField(std::string_view name) const {
  return const_cast<TKNMemTable*>(this)->findField(name);
}

TKNField& TKNMemTable::fieldByName(std::string_view name) {
  if (TKNField* f = findField(name)) return *f;
  throw ETableError("Field '" + std::string(name) + "' not found");
}

}  // namespace kn
