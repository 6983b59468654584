// The log's files on the system: the private part of knLOG2, one half per platform.
//
// Some lines carry secrets, so no log is readable by other users. On Linux files are 0640 and the
// folder 0750, and where the group "adm" exists a process running as root hands both to it, as
// system logs are; on Windows the folder's access list gives SYSTEM and Administrators full
// control and nobody else anything. None of these report failures: a line that cannot be written
// is dropped.
#pragma once

#include <string>
#include <string_view>

namespace kn::logfiles {

// Once per initLog, before the other calls (looks up the log group).
void begin();
// Whether anything exists at `path`.
bool exists(const std::string& path);
// The log folder (`folder` without its final separator): created private when missing, with its
// parents as usual; tightened when looser.
void prepareFolder(const std::string& folder);
// Creates an empty private log file; an existing file is left alone.
void createEmpty(const std::string& path);
// Appends `line` to the existing file `path` with one write, so that lines of other processes
// appending to the same file stay whole. A file looser than the log's mode is tightened first.
void append(const std::string& path, std::string_view line);

}  // namespace kn::logfiles
