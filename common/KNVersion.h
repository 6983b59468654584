// The version of an executable: its version resource ("FileVersion").
//
// On Linux both programs carry an ELF note ".note.package" (owner "FDO", type 0xcafe1a7e, written
// by the build step kn_package_note) whose descriptor is a JSON object with a "version" member
// (KNVersionLinux.cpp); on Windows they carry a VERSIONINFO resource. These functions read it from
// the file. Nothing here throws, and any thread may call them.
#pragma once

#include <string>

namespace kn {

// The version of the executable file at `path`: "0.0.0.0" when the file cannot be opened, is no
// executable, is damaged or truncated, or holds no readable version; "" when its version record
// has no version text. On Linux the file is an ELF file, 32 or 64 bit, either byte order.
std::string fileVersion(const std::string& path);

// fileVersion of the running executable's image (even when its file has since been replaced),
// read once per process.
std::string ownVersion();

}  // namespace kn
