// A small in-memory table: typed fields, records, one cursor, and optional indexes that keep
// records in key order and reject duplicate keys. It offers what the JSON conversions of the RPC
// client need (ext.tables.h) and nothing more: no editing of posted records, no deletion, no
// filtering.
//
// Life of a table: define fields (and indexes), open, then append / set fields / post. The
// table owns its fields; a TKNField reference stays valid for the table's whole life. A table is
// not safe for use by two threads at once. Every misuse (wrong state, wrong field type, a text
// longer than its field, a duplicate key) throws ETableError with an English message and leaves
// the table as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "KNException.h"
#include "KNLib.h"

namespace kn {

KN_DECLARE_EXCEPTION(ETableError, Exception);

// Field types; the values are the ordinal numbers that log messages print.
enum class TFieldType : int {
  String = 1,   // text with a declared maximum length, in characters
  Integer = 3,  // 32-bit signed
  Boolean = 5,
  Float = 6,      // double
  Currency = 7,   // fixed point, four decimals (TCurrency)
  Date = 9,       // TDateTime, date only (the time of day is dropped when set)
  DateTime = 11,  // TDateTime
  Memo = 16,      // unbounded text
  LargeInt = 25,  // 64-bit signed
};

constexpr int ordinal(TFieldType t) { return static_cast<int>(t); }

// Field names match without regard to ASCII letter case.
bool sameFieldName(std::string_view a, std::string_view b);
// The length of UTF-8 text in characters, the unit of a string field's size.
std::size_t textLength(std::string_view text);

// The general text of a number, as float fields show it: the shortest form with up to 15
// significant digits, "." as decimal point, an exponent written "E20" or "E-7".
std::string generalFloatText(double x);

// A currency value: the amount times 10000 (12.5 is 125000).
using TCurrency = std::int64_t;

// A field's stored value: null, or the one alternative its type uses (text: string; integer,
// large integer, currency: int64; float, date, date-time: double; boolean: bool).
using TFieldValue = std::variant<std::monostate, std::string, std::int64_t, double, bool>;

class TKNMemTable;

// One column of a table, read and written at the table's current record. Reading a null field
// gives 0, 0.0, false or "" as its type has it. Reading a field as a type it cannot give, and any
// write outside the append state, throws ETableError.
class TKNField {
 public:
  const std::string& name() const { return name_; }
  TFieldType type() const { return type_; }
  std::size_t size() const { return size_; }  // maximum length of a string field, else 0

  bool isNull() const;
  int asInteger() const;            // integer, large integer (EConvertError beyond 32 bits)
  std::int64_t asLargeInt() const;  // integer, large integer
  TCurrency asCurrency() const;     // currency
  TDateTime asDateTime() const;     // date, date-time
  double asFloat() const;           // float, currency, integer, large integer
  bool asBoolean() const;           // boolean
  // Every type: integers in decimal, currency and float in their shortest form ("12.5"),
  // booleans "True"/"False", dates "yyyy/mm/dd", date-times "yyyy/mm/dd hh:nn:ss"; null is "".
  std::string asText() const;

  void setText(std::string_view text);   // string (at most size() characters), memo
  void setInteger(std::int32_t value);   // integer, large integer, currency, float
  void setLargeInt(std::int64_t value);  // large integer, integer (EConvertError beyond 32 bits)
  void setCurrency(TCurrency value);     // currency
  void setDateTime(TDateTime value);     // date, date-time
  void setFloat(double value);           // float
  void setBoolean(bool value);           // boolean
  void clear();                          // any type: null

 private:
  friend class TKNMemTable;
  TKNField(TKNMemTable& table, std::size_t index, std::string name, TFieldType type, std::size_t size)
      : table_(table), index_(index), name_(std::move(name)), type_(type), size_(size) {}
  const TFieldValue& value() const;
  void store(TFieldValue value);
  [[noreturn]] void wrongType(const char* as) const;

  TKNMemTable& table_;
  std::size_t index_;
  std::string name_;
  TFieldType type_;
  std::size_t size_;
};

struct TIndexOptions {
  bool primary = false;  // implies unique
  bool unique = false;
};

class TKNMemTable {
 public:
  TKNMemTable();
  ~TKNMemTable();
  TKNMemTable(const TKNMemTable&) = delete;
  TKNMemTable& operator=(const TKNMemTable&) = delete;

  // ---- Definition, before open() ----
  // Field names are unique without regard to ASCII letter case. `size` counts for strings only.
  TKNField& addField(std::string name, TFieldType type, std::size_t size = 0);
  // An index over existing fields, compared field by field (texts byte by byte, nulls first).
  void addIndex(std::string name, const std::vector<std::string>& fieldNames, TIndexOptions options);
  // Records are visited in the order of the named index; "" restores the order of appending.
  // Allowed at any time; the cursor moves to the first record when the table is open.
  void setActiveIndex(std::string_view indexName);

  void open();
  bool isOpen() const { return open_; }

  // ---- Records, once open ----
  void emptyTable();  // drops every record and any record being appended
  // Begins a new record with every field null; the cursor stands on it until post or cancel.
  void append();
  // Stores the record being appended. A key already held by a unique or primary index throws
  // ETableError naming the index and the key; the record then stays pending (fix it or cancel).
  void post();
  void cancel();  // drops the record being appended, if any
  bool isAppending() const { return appending_; }

  // The cursor, in the active index's order. Not while a record is being appended.
  void first();
  void next();
  bool eof() const;
  std::size_t recordCount() const { return records_.size(); }

  // ---- Fields ----
  std::size_t fieldCount() const { return fields_.size(); }
  TKNField& field(std::size_t i) { return *fields_.at(i); }
  const TKNField& field(std::size_t i) const { return *fields_.at(i); }
  // By name without regard to ASCII letter case; nullptr when there is none.
  TKNField* findField(std::string_view name);
  const TKNField* findField(std::string_view name) const;
  TKNField& fieldByName(std::string_view name);  // throws ETableError when there is none

 private:
  friend class TKNField;
  using Record = std::vector<TFieldValue>;
  struct Index;

  void requireOpen(const char* operation) const;
  void requireBrowsing() const;
  const Record* currentRecord() const;
  const std::vector<std::size_t>* activeOrder() const;
  std::size_t recordAt(std::size_t position) const;

  std::vector<std::unique_ptr<TKNField>> fields_;
  std::vector<Index> indexes_;
  int activeIndex_ = -1;
  std::vector<Record> records_;  // in order of appending
  Record buffer_;                // the record being appended
  bool appending_ = false;
  bool open_ = false;
  std::size_t position_ = 0;  // cursor, counted in the active order; == recordCount() at eof
};

}  // namespace kn
