#include "knLOG2.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "KNEnv.h"
#include "KNException.h"

namespace kn {
namespace {

constexpr std::uintmax_t kMainLogLimit = 5'000'000;

struct LogState {
  std::mutex lock;  // serialises every write of this process
  bool active = false;
  bool timestamps = false;
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

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void createEmpty(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  if (FILE* f = std::fopen(path.c_str(), "ab")) std::fclose(f);
}

// The main-file creation step; the caller holds the lock.
void createMainFile(LogState& s) {
  if (s.style == LogStyle::Agent) {
    if (s.mainCreated || exists(s.mainFile)) return;
    s.mainCreated = true;  // set before the attempt: a failed creation is not retried
  } else if (exists(s.mainFile)) {
    return;
  }
  createEmpty(s.mainFile);
}

// Past the limit the main file moves aside to ".old" and a fresh one begins.
void capMainFile(LogState& s) {
  struct stat st;
  if (::stat(s.mainFile.c_str(), &st) != 0 || static_cast<std::uintmax_t>(st.st_size) <= kMainLogLimit)
    return;
  std::string old = s.mainFile + ".old";
  if (std::rename(s.mainFile.c_str(), old.c_str()) == 0) createEmpty(s.mainFile);
}

std::tm localNow(int* millis) {
  auto now = std::chrono::system_clock::now();
  auto secs = std::chrono::system_clock::to_time_t(now);
  *millis = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  return tm;
}

std::string dailyName(const LogState& s, const std::string& logName) {
  int ms;
  std::tm tm = localNow(&ms);
  char date[32];
  std::snprintf(date, sizeof date, "%04d%02d%02d", (tm.tm_year + 1900) % 10000, tm.tm_mon + 1, tm.tm_mday);
  return s.folder + s.stem + logName + "." + date + ".vlog";
}

std::string stamp() {
  int ms;
  std::tm tm = localNow(&ms);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s %02d/%02d/%02d %02d:%02d:%02d.%03d  ", englishDayAbbrev(tm.tm_wday),
                tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

std::string exeStem(const std::string& exeName) {
  // A name without a three-letter extension counts as if it ended in ".exe".
  bool hasExt = exeName.size() > 4 && exeName[exeName.size() - 4] == '.';
  std::string name = hasExt ? exeName : exeName + ".exe";
  return name.substr(0, name.size() - 3);
}

}  // namespace

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
  return dailyName(state(), logName);
}

void logTo(std::string logName, std::string msg) {
  try {
    LogState& s = state();
    std::lock_guard guard(s.lock);
    if (!s.active) return;
    if (s.style == LogStyle::Agent) createMainFile(s);
    capMainFile(s);
    std::string target = logName.empty() ? s.mainFile : dailyName(s, logName);
    if (!logName.empty() && !exists(target)) createEmpty(target);
    std::string line = s.timestamps ? stamp() : std::string();
    line += msg;
    line += "\r\n";
    // Append only to a file that exists: "r+" never creates, then seek to the end.
    FILE* f = std::fopen(target.c_str(), "r+b");
    if (!f) return;
    if (std::fseek(f, 0, SEEK_END) == 0) std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  } catch (...) {
    // A line that cannot be written is dropped; the caller carries on.
  }
}

void logMsg(std::string msg) { logTo(std::string(), std::move(msg)); }

void logObj(const char* className, const void* obj, std::string msg) {
  if (!state().active) return;
  std::string prefix = obj ? "[" + std::string(className) + " @" +
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
