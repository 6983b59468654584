// What the unpack asks of the file system beyond the OS seam (KNOs.h): the limits of a name, the
// attributes a replaced file keeps, a second name for a file, one flush of a folder. Internal to
// PackageUnpack; the platform half is PackageUnpackLinux.cpp. Each may be called from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace kn::unpack {

// The longest file name, and the longest path, the system takes (bytes).
std::size_t maxNameBytes();
std::size_t maxPathBytes();

// Gives the closed new file `temp` the owner, group and permission bits of `target` when `target`
// exists, else the permission bits `newMode`. Throws EOSError "Cannot give <target> its owner.
// <reason>" or "Cannot write <temp>. <reason>".
void takeOverAttributes(const std::string& temp, const std::string& target, unsigned newMode);

// Gives the existing file `target` the second name `link` (a hard link), so that it survives
// being replaced. False when `link` is taken; throws EOSError "Cannot keep a copy of <target>.
// <reason>" for any other failure.
bool addSecondName(const std::string& target, const std::string& link);

// Flushes to disk every file and name written into `folder`'s file system so far; a failure is
// not reported (the renames that follow are what a crash could lose, and they are recorded).
void flushFolder(const std::string& folder);

}  // namespace kn::unpack
