// Unpacking an update package (a ZIP archive from outside, maybe hostile) into the updater's
// folder, all or nothing. Every entry is bounded by the size its header declares, the whole
// package by a limit on its unpacked size, and nothing is ever written outside the folder.
// Stateless; two threads may unpack into different folders at the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "KNException.h"

namespace kn {

// A package that cannot be installed: not a ZIP archive, a wrong password, a corrupt entry, an
// entry larger than its header says, a package over the size limit, a target in the way, or a
// file that cannot be written or put in place.
KN_DECLARE_EXCEPTION(EZipError, Exception);

// The password of every package (traditional ZIP encryption); unencrypted packages are accepted too.
inline constexpr const char* kPackagePassword = "4721";

// The most a package may unpack to (the sum of its files' declared sizes), and the most a package
// download may bring.
inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kMaxPackageBytes = kMaxUnpackedBytes + (std::uint64_t{64} << 20);

// Receives one line about an entry that is left out (a symbolic link, a device, a reserved name).
// The text may hold the entry's name as the archive has it: make it log-safe before logging.
using UnpackLog = std::function<void(const std::string&)>;

// Opens `zipPath` and checks, writing nothing, that it can be installed into `folder` (ending in
// "/"): its directory is readable, every file entry declares its size, the declared sizes add up
// to at most `maxUnpacked`, it holds at least one file, and no target in the folder is anything
// but a regular file. Throws EZipError.
void checkPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                  std::uint64_t maxUnpacked = kMaxUnpackedBytes, const UnpackLog& log = {});

// Unpacks every file entry of `zipPath` into `folder` (ending in "/") under its bare file name.
// Folders stored in the archive are dropped; folder entries and entries named "", "." or ".." are
// skipped silently; symbolic links, other non-regular entries and names of our temporary files
// are skipped and reported to `log`. After the checks of checkPackage, every entry is written
// whole into a temporary file ".kn-XXXXXX" in the folder, reading never more than its declared
// size. Only when all are written are they renamed over their targets; the replaced files are
// kept until every rename succeeded and are put back if one fails. A replaced file keeps its
// owner, group and mode; a new one takes the archive's permission bits (less set-id, sticky and
// group or other write), or 0644. Throws EZipError; then the folder holds what it held before.
void unpackPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                   const UnpackLog& log = {}, std::uint64_t maxUnpacked = kMaxUnpackedBytes);

// True for a name of the unpacker's temporary files: ".kn-" and six letters or digits.
bool isUnpackTempName(const std::string& name);

// Removes the temporary files an interrupted unpack left in `folder` (regular files with a
// temporary name only). Returns how many were removed.
int removeUnpackLeftovers(const std::string& folder);

// Fault injection for tests: replaces rename(2) where unpacked files are put in place; nullptr
// restores it. Not for use while an unpack runs.
using RenameFunction = int (*)(const char* from, const char* to);
void setUnpackRenameForTesting(RenameFunction fn);

}  // namespace kn
