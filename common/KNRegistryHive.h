// The hive: one registry root held as the text of a regedit export file, and in memory.
//
//   Windows Registry Editor Version 5.00
//
//   ; a comment
//   [HKEY_LOCAL_MACHINE\Software\Kestrane\ZARODIRazev]
//   "name"="text with \\ and \" escaped"
//   "count"=dword:0000002a
//   @="the key's default value"
//   "path"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00    (REG_EXPAND_SZ, UTF-16LE)
//   "blob"=hex:01,02,\                                          (a line ending in "\" goes on)
//     03
//   "gone"=-                                                    (no such value)
//   [-HKEY_LOCAL_MACHINE\Software\Old]                          (no such key, nor its subkeys)
//
// Reading: the header line must come first (blank lines and ";" comments are skipped anywhere),
// lines may end in CR LF, key paths and value names compare without regard to ASCII case. The file
// is read in order, as regedit imports it: a value set twice in one key keeps the last data, a key
// listed twice gathers the values of both sections, "name"=- removes a value named earlier and
// [-key] removes that key and everything below it named earlier (value lines in such a section are
// ignored). String values also understand "\r" and "\n" escapes, which this system writes so that a
// value holding a line break cannot break the file's lines; any other backslash is kept as it stands.
//
// Value types other than strings and dwords ("hex:" and "hex(<type>):" followed by bytes) are kept
// as their hive text, continuation lines joined and bytes written in lower case
// ("hex(2):41,00,00,00"), and written back in the same form, so a value this system does not touch
// keeps its type and data. regValueText gives the text Windows would read from any value.
//
// Lookups of keys go through an index built by parseHive and kept by ensure; reading, writing and
// parsing a hive cost time in proportion to its size.
//
// The functions here are pure: they neither read nor write files.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KNRegistry.h"

namespace kn {

struct HiveKey {
  std::string path;  // full path including the root name, components joined by a single "\"
  std::vector<RegValue> values;

  bool operator==(const HiveKey&) const = default;
};

class HiveKeyIndex;

// Windows' own limit: a key path (root name included) has at most 512 components. Deeper keys are
// refused, by the parser and by every write, so that nothing walks an unbounded chain of keys.
inline constexpr size_t kMaxKeyDepth = 512;
// The parser refuses a hive of more keys and parent keys than this: memory stays bounded
// (about 150 bytes each) whatever the shape of the file.
inline constexpr size_t kMaxHiveKeyNodes = size_t{1} << 21;

struct Hive {
  std::vector<HiveKey> keys;  // in file order

  // Equal keys in equal order; the index is not compared.
  bool operator==(const Hive& other) const { return keys == other.keys; }

  // All paths below are full paths, in any letter case, normalised with normalizeKeyPath.
  HiveKey* find(std::string_view path);
  const HiveKey* find(std::string_view path) const;
  // True when the key is listed or is the parent of a listed key.
  bool exists(std::string_view path) const;
  // The key, inserted after the last key below its closest listed relative when it is not listed yet.
  HiveKey& ensure(std::string_view path);
  // Names of the direct subkeys, in order of first appearance.
  std::vector<std::string> subKeys(std::string_view path) const;
  // The text of value `name` of the key at `path` (regValueText); nullopt when the key or value is
  // absent. A value that Windows does not read as text throws "Invalid data type for '<name>'".
  std::optional<std::string> readString(std::string_view path, const std::string& name) const;

  // Rebuilds the key index. parseHive and ensure keep it current; a caller that adds, removes or
  // renames entries of `keys` directly calls it afterwards (until then lookups scan every key when
  // the number of keys changed, and may miss a renamed one otherwise).
  void reindex();

 private:
  const HiveKeyIndex* index() const;           // nullptr when missing or stale
  std::shared_ptr<const HiveKeyIndex> index_;  // immutable once built, so copies may share it
};

// ASCII case-insensitive equality, the registry's rule for names.
bool sameRegName(std::string_view a, std::string_view b);

// Joins the non-empty "\"-separated components of `path` with single "\". Throws
// ERegistryAccessError for a component holding a CR or LF, which a hive line cannot hold.
std::string normalizeKeyPath(std::string_view path);

// The full path of a key: the root's name, then `path` (normalised). Throws ERegistryAccessError
// when it would have more than kMaxKeyDepth components.
std::string fullKeyPath(RegRoot root, std::string_view path);

// The value as Windows reads it as text: a string's text, and the UTF-16LE data of a REG_SZ or
// REG_EXPAND_SZ written in hex form ("hex(1):", "hex(2):") up to its first NUL, unexpanded. Any
// other type (dword, binary, REG_MULTI_SZ, ...) gives nullopt.
std::optional<std::string> regValueText(const RegValue& value);

// Parses hive text (already decoded to UTF-8). Empty or blank text is an empty hive. Throws
// EHiveFormatError "<source>: line <n>: <what is wrong>".
Hive parseHive(std::string_view text, const std::string& source = "hive");

// The hive as file text (UTF-8, LF line ends); parseHive(formatHive(h)) == h. Hex values are
// wrapped with "\" continuation lines as regedit writes them.
std::string formatHive(const Hive& hive);

}  // namespace kn
