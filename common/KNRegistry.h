// The registry seam: the two registry roots the system uses (HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER), their keys and their typed values.
//
// Why it exists: the configuration store, the API key reader and the system facts keep their data
// in the Windows registry. On Linux each root is one text hive file in the regedit export format
// (KNRegistryLinux.cpp, see KNRegistryHive.h for the format); tests put the in-memory fake of
// KNRegistryFake.h in its place through setRegistry().
//
// Paths: a key is named by its path below the root, components separated by "\"; empty
// components are ignored, so "Software\\Kestrane\\App\\\\" names the same key as
// "Software\\Kestrane\\App". Key paths and value names compare without regard to ASCII letter
// case and keep the spelling they were created with. The value named "" is the key's default value.
//
// Order: values and subkeys are listed in the order they were created (the hive file's order).
//
// Failures are exceptions derived from ERegistryException:
//   - ERegistryAccessError: a hive cannot be read or written, or a key cannot be created
//     (permissions, full disk, a name the hive cannot hold). Callers that treat "cannot open" as
//     "nothing there" catch this one.
//   - EHiveFormatError: a hive file is malformed; the message names the file and the line.
//   - ERegistryException itself: "Invalid data type for '<name>'" when a value of another type is
//     read as text.
// A missing key or value is not a failure: reads return nothing.
//
// Thread-safety: every operation of every implementation may be called from any thread. Each
// write is atomic on its own (other processes see the hive before or after it, never half of it);
// a sequence of writes is not a transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KNException.h"

namespace kn {

KN_DECLARE_EXCEPTION(ERegistryException, Exception);
KN_DECLARE_EXCEPTION(ERegistryAccessError, ERegistryException);
KN_DECLARE_EXCEPTION(EHiveFormatError, ERegistryException);

enum class RegRoot { LocalMachine, CurrentUser };
inline constexpr RegRoot HKEY_LOCAL_MACHINE = RegRoot::LocalMachine;
inline constexpr RegRoot HKEY_CURRENT_USER = RegRoot::CurrentUser;

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER", as key lines of a hive file spell them.
const char* regRootName(RegRoot root);

enum class RegType {
  String,  // REG_SZ: `text`
  DWord,   // REG_DWORD: `number`
  Other,   // any other type (hex:, hex(2):, ...): kept as its raw hive text in `text`, never read as text
};

struct RegValue {
  std::string name;  // "" is the key's default value
  RegType type = RegType::String;
  std::string text;
  uint32_t number = 0;

  bool operator==(const RegValue&) const = default;
};

class TRegistry {
 public:
  virtual ~TRegistry() = default;

  // Opens the key, creating it and its missing parents; an existing key is left untouched.
  // Throws ERegistryAccessError when it does not exist and cannot be created.
  virtual void createKey(RegRoot root, const std::string& path) = 0;
  virtual bool keyExists(RegRoot root, const std::string& path) = 0;

  // The key's values and the names of its direct subkeys, in order; empty for a missing key.
  virtual std::vector<RegValue> values(RegRoot root, const std::string& path) = 0;
  virtual std::vector<std::string> subKeys(RegRoot root, const std::string& path) = 0;

  // The value as text; nothing when the key or the value is missing. A value of another type
  // throws ERegistryException "Invalid data type for '<name>'".
  virtual std::optional<std::string> readString(RegRoot root, const std::string& path,
                                                const std::string& name) = 0;

  // Set a value, creating the key when missing and replacing a value of the same name (whatever
  // its type). Throws ERegistryAccessError when the value cannot be stored.
  virtual void writeString(RegRoot root, const std::string& path, const std::string& name,
                           const std::string& value) = 0;
  virtual void writeDword(RegRoot root, const std::string& path, const std::string& name, uint32_t value) = 0;

  // Removes a value; false when there was none.
  virtual bool deleteValue(RegRoot root, const std::string& path, const std::string& name) = 0;
};

// The message of the type error, shared by every implementation.
ERegistryException invalidDataType(const std::string& name);

// The registry of this system (the hive files on Linux).
std::shared_ptr<TRegistry> newSystemRegistry();

// The registry in use by the whole process: the system's unless replaced. setRegistry(nullptr)
// returns to the system's registry; it returns the registry that was in use. Tests replace it
// while no other thread of theirs uses the registry.
std::shared_ptr<TRegistry> registry();
std::shared_ptr<TRegistry> setRegistry(std::shared_ptr<TRegistry> replacement);

}  // namespace kn
