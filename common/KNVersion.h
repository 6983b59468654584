// The version of an executable, the stand-in for its version resource ("FileVersion").
//
// Both programs carry an ELF note ".note.package" (owner "FDO", type 0xcafe1a7e, written by the
// build step kn_package_note) whose descriptor is a JSON object with a "version" member. These
// functions read it from the file on disk. Nothing here throws, and any thread may call them.
#pragma once

#include <string>

namespace kn {

// The "version" of the package note of the ELF file at `path` (32 or 64 bit, either byte order):
// "0.0.0.0" when the file cannot be opened, is no ELF file, is damaged or truncated, or holds no
// readable package note; "" when the note's JSON object has no "version" text.
std::string fileVersion(const std::string& path);

// fileVersion of the running executable, read once per process.
std::string ownVersion();

}  // namespace kn
