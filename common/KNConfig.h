// The configuration store: the settings of one application as an ordered name=value list held
// in memory, loaded from and saved to the registry key
// "Software\" + configCompany() + "\" + App below RootKey.
//
// Names are paths: "audit\nextv6" is the value "nextv6" of the subkey "audit"; a value directly
// in the application key is named "\v". Names match without regard to ASCII letter case and the
// first item with a name counts. Setters change the list only; the registry sees a change only at
// SaveData, which writes every item and never deletes anything.
//
//   kn::TKNConfig cfg("_devid");
//   cfg.LoadData();
//   std::string id = cfg.Get("\\devid");
//   cfg.Put("\\devid", "1234");
//   cfg.SaveData();
//
// An instance is used by one thread at a time. It keeps no registry handle between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "KNRegistry.h"

namespace kn {

// The maker's name in every store's registry path: "Kestrane" until changed. Process-wide; change
// it only while no store is loading or saving.
std::string configCompany();
void setConfigCompany(std::string company);

// Sets configCompany for its own lifetime and restores the previous name on every way out.
class TScopedConfigCompany {
 public:
  explicit TScopedConfigCompany(std::string company);
  ~TScopedConfigCompany();
  TScopedConfigCompany(const TScopedConfigCompany&) = delete;
  TScopedConfigCompany& operator=(const TScopedConfigCompany&) = delete;

 private:
  std::string previous_;
};

// An ordered list of name=value items; names match without regard to ASCII letter case.
class TConfigParams {
 public:
  struct Item {
    std::string name;
    std::string value;
    bool operator==(const Item&) const = default;
  };

  // Index of the first item named `name`, or -1.
  int indexOf(std::string_view name) const;
  // The first item's value, "" when absent.
  std::string value(std::string_view name) const;
  // Sets the first item's value, appending an item when absent; an empty value removes the item.
  void setValue(std::string_view name, std::string value);
  void add(std::string name, std::string value) { items_.push_back({std::move(name), std::move(value)}); }
  void clear() { items_.clear(); }

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const Item& operator[](size_t i) const { return items_[i]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }
  bool operator==(const TConfigParams&) const = default;

  // The items as "name=value" texts in comma-separated form (see commaText below).
  std::string commaText() const;

 private:
  std::vector<Item> items_;
};

// Comma-separated text: items joined by ","; an item holding a space, a control character, a
// comma or a double quote is enclosed in double quotes with inner quotes doubled. A single empty
// item is written as "".
std::string commaText(const std::vector<std::string>& items);
// The items of comma-separated text; unquoted spaces and control characters separate items too.
std::vector<std::string> parseCommaText(std::string_view text);

class TKNConfig {
 public:
  explicit TKNConfig(std::string xApp);
  virtual ~TKNConfig() = default;

  std::string App;
  TConfigParams Params;
  bool CSVMode = false;
  RegRoot RootKey = HKEY_CURRENT_USER;

  // Replaces Params with the whole tree of the application key, a key's values before its
  // subkeys, creating the key when missing. A key that cannot be opened contributes nothing; a
  // value that is not text throws ERegistryException "Invalid data type for '<name>'" and keeps
  // the items read so far. A malformed hive throws EHiveFormatError.
  virtual void LoadData();
  // Writes every item, in order, as a string value. A value that cannot be written throws
  // ERegistryException "Failed to set data for '<value name>'"; the items before it are written.
  virtual void SaveData();

  // Text: "" when absent; an empty value removes the item. In CSVMode a value's lines are stored
  // as comma-separated text and read back joined by CR.
  std::string Get(std::string_view Nome) const;
  void Put(std::string_view Nome, const std::string& Valor);

  // Typed access. Getters never fail: text that is not a number reads as 0.
  int32_t GetInt(std::string_view Nome) const;  // spaces, sign, decimal or "$"/"0x" hexadecimal
  void PutInt(std::string_view Nome, int32_t Valor);
  int64_t GetInt64(std::string_view Nome) const;  // exactly an optional sign and digits
  void PutInt64(std::string_view Nome, int64_t Valor);
  // "T" or "F"; reading an absent name adds it with "F" and returns false.
  bool GetBool(std::string_view Nome);
  void PutBool(std::string_view Nome, bool Valor);
  // Up to 15 significant digits with the locale's decimal separator; "," and "." both read back.
  double GetDouble(std::string_view Nome) const;
  void PutDouble(std::string_view Nome, double Valor);
  // A fixed-point amount with four decimals (1.5 is 15000), stored as the amount / 10000.
  int64_t getCurrency(std::string_view Nome) const;
  void setCurrency(std::string_view Nome, int64_t Valor);
  // Date-time values: days since 1899-12-30, the time of day as fraction. A date keeps whole days.
  double getDate(std::string_view Nome) const;
  void SetDate(std::string_view Nome, double Valor);
  double GetDateTime(std::string_view Nome) const;
  void SetDateTime(std::string_view Nome, double Valor);
  // An object's address as a decimal number; meaningful only inside the process that stored it.
  void* getObject(std::string_view Nome) const;
  void SetObject(std::string_view Nome, const void* Valor);

  // Params as a PHP-serialized array of strings, lengths counted in UTF-16 code units:
  // a=1, b=xy gives a:2:{s:1:"a";s:1:"1";s:1:"b";s:2:"xy";}
  std::string PHPSerialize() const;
  // Replaces Params with the pairs of `S` (through Put). Anything but an array of string pairs
  // throws "Invalid PHPSerialized string" and leaves Params empty.
  void PHPUnserialize(std::string_view S);

 private:
  std::string keyPath(std::string_view relative) const;
  // Adds the values of one key to Params and returns the names of its subkeys.
  std::vector<std::string> loadKey(const std::string& relative);
};

}  // namespace kn
