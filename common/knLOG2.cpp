#include "knLOG2.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "KNEnv.h"
#include "KNException.h"
#include "KNLib.h"
#include "KNOs.h"
#include "knLOG2Files.h"

namespace kn {
namespace {

constexpr std::uintmax_t kMainLogLimit = 5'000'000;

struct LogState {
  std::mutex lock;                   // serialises every write of this process
  std::atomic<bool> active = false;  // read without the lock by logObj and logException
  std::atomic<bool> timestamps = false;
  bool mainCreated = false;
  LogStyle style = LogStyle::Agent;
  std::string folder;  // ends with "/"
  std::string stem;    // executable name less its last three characters, ends with "."
  std::string mainFile;
};

LogState& state() {
  static LogState s;
  return s;
}

// Creates an empty log file (and the folder when missing); an existing file is left alone.
void createEmpty(const LogState& s, const std::string& path) {
  if (!logfiles::exists(s.folder)) logfiles::prepareFolder(s.folder.substr(0, s.folder.size() - 1));
  logfiles::createEmpty(path);
}

// The main-file creation step; the caller holds the lock.
void createMainFile(LogState& s) {
  if (s.style == LogStyle::Agent) {
    if (s.mainCreated || logfiles::exists(s.mainFile)) return;
    s.mainCreated = true;  // set before the attempt: a failed creation is not retried
  } else if (logfiles::exists(s.mainFile)) {
    return;
  }
  createEmpty(s, s.mainFile);
}

// Past the limit the main file moves aside to ".old", replacing the one of the time before, and a
// fresh one begins. Through the OS seam, which takes UTF-8 paths and replaces on every system.
void capMainFile(LogState& s) {
  try {
    if (os().openFile(s.mainFile)->size() <= kMainLogLimit) return;
    os().renamePath(s.mainFile, s.mainFile + ".old");
  } catch (const EOSError&) {
    return;  // not there, or in use: the next line tries again
  }
  createEmpty(s, s.mainFile);
}

// One reading of the local clock serves a whole line: its file's date and its time stamp.
struct LocalNow {
  std::tm tm{};
  int millis = 0;
};

LocalNow localNow() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  LocalNow now;
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  now.millis = static_cast<int>(ms % 1000);
  localCalendar(secs, now.tm);
  return now;
}

// A log name is one piece of a file name: a "/" in it must not lead into another folder.
std::string safeLogName(const std::string& logName) {
  std::string name = logName;
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  return name;
}

std::string dailyName(const LogState& s, const std::string& logName, const LocalNow& now) {
  char date[32];
  std::snprintf(date, sizeof date, "%04d%02d%02d", (now.tm.tm_year + 1900) % 10000, now.tm.tm_mon + 1,
                now.tm.tm_mday);
  return s.folder + s.stem + safeLogName(logName) + "." + date + ".vlog";
}

std::string stamp(const LocalNow& now) {
  const std::tm& tm = now.tm;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s %02d/%02d/%02d %02d:%02d:%02d.%03d  ", englishDayAbbrev(tm.tm_wday),
                tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, now.millis);
  return buf;
}

std::string exeStem(const std::string& exeName) {
  // A name without a three-letter extension counts as if it ended in ".exe".
  bool hasExt = exeName.size() > 4 && exeName[exeName.size() - 4] == '.';
  std::string name = hasExt ? exeName : exeName + ".exe";
  return name.substr(0, name.size() - 3);
}

}  // namespace

std::string logSafe(std::string_view outside, std::size_t maxChars) {
  bool cut = outside.size() > maxChars;
  if (cut) outside = outside.substr(0, maxChars);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(outside.size() + (cut ? 3 : 0));
  for (char c : outside) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += "\\x";
          out += kHex[u >> 4];
          out += kHex[u & 15];
        } else {
          out += c;
        }
    }
  }
  if (cut) out += "...";
  return out;
}

const char* englishDayAbbrev(int weekday) {
  static const char* const names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  return names[((weekday % 7) + 7) % 7];
}

void initLogAt(const std::string& exeFolder, const std::string& exeName, LogStyle style) {
  LogState& s = state();
  std::lock_guard guard(s.lock);
  s.active = true;
  s.style = style;
  s.mainCreated = false;
  s.folder = exeFolder;
  if (!s.folder.empty() && s.folder.back() != '/') s.folder += '/';
  s.folder += "logs/";
  s.stem = exeStem(exeName);
  s.mainFile = s.folder + s.stem + "vlog";
  logfiles::begin();
  logfiles::prepareFolder(s.folder.substr(0, s.folder.size() - 1));
  createMainFile(s);
}

void initLog(LogStyle style) {
  std::string folder = exeFolder();
  if (folder.empty()) return;  // without its own path the process cannot log beside itself
  initLogAt(folder, exeName(), style);
}

void resetLog() {
  LogState& s = state();
  std::lock_guard guard(s.lock);
  s.active = s.timestamps = s.mainCreated = false;
  s.folder.clear();
  s.stem.clear();
  s.mainFile.clear();
}

void setLogTimestamps(bool on) { state().timestamps = on; }
bool logTimestamps() { return state().timestamps; }

std::string logFolder() {
  std::lock_guard guard(state().lock);
  return state().folder;
}

std::string mainLogFile() {
  std::lock_guard guard(state().lock);
  return state().mainFile;
}

std::string namedLogFile(const std::string& logName) {
  std::lock_guard guard(state().lock);
  return dailyName(state(), logName, localNow());
}

void logTo(std::string logName, std::string msg) {
  try {
    LogState& s = state();
    std::lock_guard guard(s.lock);
    if (!s.active) return;
    if (s.style == LogStyle::Agent) createMainFile(s);
    capMainFile(s);
    LocalNow now = localNow();
    std::string target = logName.empty() ? s.mainFile : dailyName(s, logName, now);
    if (!logName.empty() && !logfiles::exists(target)) createEmpty(s, target);
    std::string line = s.timestamps ? stamp(now) : std::string();
    line += msg;
    line += "\r\n";
    logfiles::append(target, line);
  } catch (...) {
    // A line that cannot be written is dropped; the caller carries on.
  }
}

void logMsg(std::string msg) { logTo(std::string(), std::move(msg)); }

void logObj(const char* className, const void* obj, std::string msg) {
  if (!state().active) return;
  std::string prefix = obj ? "[" + std::string(className ? className : "") + " @" +
                                 std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(obj))) + "]"
                           : std::string("[nil]");
  logMsg(prefix + " " + msg);
}

void logException(const std::exception& e, std::string place) {
  if (!state().active) return;
  logMsg("--- EXCEPTION ---");
  logMsg("An error ocurred in: " + place);
  logMsg("class: " + exceptionClassName(e));
  logMsg(std::string("mesg.: ") + e.what());
  logMsg("-----------------");
}

}  // namespace kn
