// The system's description from os-release and uname.
#include <sys/utsname.h>

#include <cstdio>

#include "KNEnv.h"
#include "KNLib.h"
#include "knWebUpdateChecker.h"

namespace kn {
namespace {

constexpr std::size_t kMaxOsReleaseBytes = 64 * 1024;

// PRETTY_NAME of os-release, unquoted; "Linux" when there is none.
std::string osName() {
  for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::string text;
    try {
      text = os().readFile(underSysRoot(file), kMaxOsReleaseBytes);
    } catch (const EOSError&) {
      continue;  // missing, unreadable or no regular file: the next one
    }
    for (const std::string& line : splitLines(text)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string v = line.substr(12);
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      if (!v.empty()) return v;
    }
  }
  return "Linux";
}

}  // namespace

std::string systemDescription() {
  utsname u{};
  int major = 0, minor = 0, build = 0;
  bool is64 = sizeof(void*) == 8;
  if (uname(&u) == 0) {
    std::sscanf(u.release, "%d.%d.%d", &major, &minor, &build);
    std::string machine = u.machine;
    is64 = machine.find("64") != std::string::npos || machine == "s390x";
  }
  return formatSystemDescription(osName(), major, minor, build, 0, is64);
}

}  // namespace kn
