// The hive: one registry root held as the text of a regedit export file, and in memory.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Kestrane\ZARODIRazev]
//   "name"="text with \\ and \" escaped"
//   "count"=dword:0000002a
//   @="the key's default value"
//   "blob"=hex:01,02,\   (a line ending in a backslash continues on the next)
//     03
//
// Reading: the header line must come first (blank lines and ";" comments are skipped anywhere),
// lines may end in CR LF, key paths and value names compare without regard to ASCII case, a value
// set twice in one key keeps the last text. String values also understand "\r" and "\n" escapes,
// which this system writes so that a value holding a line break cannot break the file's lines; any
// other backslash is kept as it stands. Value types other than strings and dwords are kept as raw
// text (continuation lines joined) and written back unchanged.
//
// The functions here are pure: they neither read nor write files.
#pragma once

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

struct Hive {
  std::vector<HiveKey> keys;  // in file order

  bool operator==(const Hive&) const = default;

  // All paths below are full paths, in any letter case, normalised with normalizeKeyPath.
  HiveKey* find(std::string_view path);
  const HiveKey* find(std::string_view path) const;
  // True when the key is listed or is the parent of a listed key.
  bool exists(std::string_view path) const;
  // The key, appended (after its closest listed relative) when it is not listed yet.
  HiveKey& ensure(std::string_view path);
  // Names of the direct subkeys, in order of first appearance.
  std::vector<std::string> subKeys(std::string_view path) const;
  // The text of value `name` of the key at `path`; nullopt when the key or value is absent.
  // A value of another type throws "Invalid data type for '<name>'".
  std::optional<std::string> readString(std::string_view path, const std::string& name) const;
};

// ASCII case-insensitive equality, the registry's rule for names.
bool sameRegName(std::string_view a, std::string_view b);

// Joins the non-empty "\"-separated components of `path` with single "\". Throws
// ERegistryAccessError for a component holding a CR or LF, which a hive line cannot hold.
std::string normalizeKeyPath(std::string_view path);

// The full path of a key: the root's name, then `path` (normalised).
std::string fullKeyPath(RegRoot root, std::string_view path);

// Parses hive text (already decoded to UTF-8). Empty or blank text is an empty hive. Throws
// EHiveFormatError "<source>: line <n>: <what is wrong>".
Hive parseHive(std::string_view text, const std::string& source = "hive");

// The hive as file text (UTF-8, LF line ends); parseHive(formatHive(h)) == h.
std::string formatHive(const Hive& hive);

// Where the hive of `root` lives: HKLM $KN_SYSROOT/etc/kestrane/HKLM.reg, HKCU
// ${XDG_CONFIG_HOME:-$HOME/.config}/kestrane/HKCU.reg (computed at every call).
std::string hiveFilePath(RegRoot root);

}  // namespace kn
