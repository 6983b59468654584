#include "KNEnvLinux.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kn {
namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

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

}  // namespace kn
