// The text log of both programs: free functions over one process-wide state.
//
// A line goes to the executable's main log file (logs/<exe>.vlog beside the executable) or to
// a named daily file (logs/<exe>.<name>.YYYYMMDD.vlog). Every call opens, appends one line
// ending in CR LF with one write (O_APPEND) and closes the file, so a crash loses nothing
// already logged and lines of several processes never interleave. No operation throws or
// reports failure: a line that cannot be written is dropped. Any thread may call any
// operation; writes within one process are serialised by one lock.
//
// Some lines carry secrets, so no log is readable by other users: the folder is created 0750 and
// the files 0640 whatever the umask, and a looser folder (at initLog) or file (at every write) is
// tightened. Where the group "adm" exists, a process running as root gives the folder and files to
// it; a process of another user leaves their group alone.
//
// The main log file is capped: when it has grown past 5,000,000 bytes it is renamed to
// <exe>.vlog.old (replacing an older one) and a fresh main file is begun, so the main log
// never holds more than about 10 MB. Named daily files are never trimmed.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace kn {

// How the main log file is created, the one point where the two programs differ.
enum class LogStyle {
  Agent,    // created at most once per process, before any write if missing
  Updater,  // created by initLog only; lines for a deleted main file are lost until restart
};

// Computes the log folder and main file from the running executable's path and creates the
// main file. Each program calls it once, during its static initialisation.
void initLog(LogStyle style = LogStyle::Agent);

// For tests: as initLog, but for an executable named `exeName` in `exeFolder`.
void initLogAt(const std::string& exeFolder, const std::string& exeName, LogStyle style = LogStyle::Agent);

// Returns the unit to its state before initLog (inactive, no time stamps).
void resetLog();

// Time stamps ("ddd yy/MM/DD HH:nn:SS.zzz" and two spaces) in front of every line.
void setLogTimestamps(bool on);
bool logTimestamps();

// The folder (ending in "/") and the main file; empty before initLog.
std::string logFolder();
std::string mainLogFile();
// The named daily file for `logName` on the current local date.
std::string namedLogFile(const std::string& logName);

void logMsg(std::string msg);
// To the main file when `logName` is empty. A "/" or NUL in `logName` becomes "_", so a name
// taken from a configuration never leads out of the log folder.
void logTo(std::string logName, std::string msg);
// "[<className> @<address as signed decimal>] msg" to the main file, or "[nil] msg" when
// `obj` is null. Callers pass their own class name: logObj("TExtChannel", this, "...").
void logObj(const char* className, const void* obj, std::string msg);
// The five-line exception block, written to the main log file.
void logException(const std::exception& e, std::string place);

// Text that came from outside (a server's reply, a header, a file of the machine), made fit for a
// log line: cut to its first `maxChars` bytes plus "..." when longer, then every control
// character escaped ("\r", "\n", "\t", "\\", "\x1b" ...), so it can neither forge a line nor grow
// a log without bound. Bytes of 0x80 and above pass unchanged.
std::string logSafe(std::string_view outside, std::size_t maxChars = 1000);

// "Fri 24/01/15" style pieces, shared with other units that print local times.
const char* englishDayAbbrev(int weekday);  // 0 = Sunday

}  // namespace kn
