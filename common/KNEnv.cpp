#include "KNEnv.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

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

std::string homeDir() {
  std::string home = env("HOME");
  if (!home.empty()) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::string xdgConfigHome() {
  std::string v = env("XDG_CONFIG_HOME");
  return v.empty() ? homeDir() + "/.config" : v;
}

std::string xdgDataHome() {
  std::string v = env("XDG_DATA_HOME");
  return v.empty() ? homeDir() + "/.local/share" : v;
}

void setExeOverride(const std::string& folder, const std::string& name) {
  overrideFolder() = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  overrideName() = name;
}

std::string exePath() {
  if (!overrideFolder().empty()) return overrideFolder() + overrideName();
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string exeFolder() {
  std::string p = exePath();
  return p.substr(0, p.rfind('/') + 1);
}

std::string exeName() {
  std::string p = exePath();
  return p.substr(p.rfind('/') + 1);
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
