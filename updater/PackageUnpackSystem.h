// What the unpack asks of the file system beyond the OS seam (KNOs.h): which names it can hold,
// when two names are one file, the attributes a replaced file keeps, a second name for a file,
// waiting for a file another program holds, one flush of a folder. Internal to PackageUnpack; the
// platform half is PackageUnpackLinux.cpp. Each may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>

namespace kn::unpack {

// Why the system cannot hold a file `name` (a bare name, UTF-8) in `folder` (ending in a
// separator), as the end of a sentence that begins with the entry ("has a name longer than the
// file system allows"); "" when it can.
std::string nameProblem(const std::string& folder, const std::string& name);

// `name` as the system compares names in a folder: the same text on Linux, where letter case
// counts; the upper-case form on Windows, where "App.exe" and "APP.EXE" are one file.
std::string nameKey(const std::string& name);

// Gives the closed new file `temp` the owner, group and permission bits of `target` when `target`
// exists, else the permission bits `newMode` (Linux); on Windows the file keeps the access list it
// inherited from the folder and is flushed to disk. Throws EOSError "Cannot give <target> its
// owner. <reason>" or "Cannot write <temp>. <reason>".
void takeOverAttributes(const std::string& temp, const std::string& target, unsigned newMode);

// Gives the existing file `target` the second name `link` (a hard link), so that it survives
// being replaced. False when `link` is taken; throws EOSError "Cannot keep a copy of <target>.
// <reason>" for any other failure.
bool addSecondName(const std::string& target, const std::string& link);

// Waits until no program holds the existing file `path` open in a way that keeps it from being
// replaced, at most until `deadline` or a stop. True when it can be replaced (at once on Linux,
// where an open file never stands in the way); false when it is still held.
bool awaitReplaceable(const std::string& path, std::chrono::steady_clock::time_point deadline,
                      const std::stop_token& stop);

// Flushes to disk every file and name written into `folder`'s file system so far; a failure is
// not reported (the renames that follow are what a crash could lose, and they are recorded).
void flushFolder(const std::string& folder);

}  // namespace kn::unpack
