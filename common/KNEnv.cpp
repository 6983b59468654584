#include "KNEnv.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "KNOs.h"

namespace kn {
namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string& overrideFolder() {
  static std::string folder;
  return folder;
}

std::string& overrideName() {
  static std::string name;
  return name;
}

}  // namespace

std::string sysRoot() {
  std::string root = env("KN_SYSROOT");
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

std::string underSysRoot(const std::string& absolutePath) { return sysRoot() + absolutePath; }

void setExeOverride(const std::string& folder, const std::string& name) {
  overrideFolder() = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  overrideName() = name;
}

std::string exePath() {
  if (!overrideFolder().empty()) return overrideFolder() + overrideName();
  try {
    return os().executablePath();
  } catch (const EOSError&) {
    return std::string();
  }
}

namespace {

// After the last path separator.
size_t nameStart(const std::string& path) {
  size_t sep = path.find_last_of(kPathSeparators);
  return sep == std::string::npos ? 0 : sep + 1;
}

}  // namespace

std::string exeFolder() {
  std::string p = exePath();
  return p.substr(0, nameStart(p));
}

std::string exeName() {
  std::string p = exePath();
  return p.substr(nameStart(p));
}

double timeScale() {
  std::string v = env("KN_TIME_SCALE");
  if (v.empty()) return 1.0;
  char* end = nullptr;
  double d = std::strtod(v.c_str(), &end);
  return (end && *end == '\0' && d > 0 && d < 1e12) ? d : 1.0;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds d) {
  if (d.count() <= 0) return d;
  // A tiny scale stretches durations; hold them at about three centuries rather than overflow.
  double ms = std::min(static_cast<double>(d.count()) / timeScale(), 1e13);
  return std::chrono::milliseconds(ms < 1 ? 1 : static_cast<long long>(ms));
}

}  // namespace kn
