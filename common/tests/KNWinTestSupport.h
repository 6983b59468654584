// Windows only: helpers of the tests that stand on the real system's facilities (registry, service
// manager, security), under Wine in the build and on Windows alike.
#pragma once

#include <windows.h>

#include <algorithm>
#include <random>
#include <string>

namespace kn::test {

// True under Wine, whose ntdll exports wine_get_version. A check that only real Windows can pass
// skips there, saying why.
inline bool runningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// `prefix` and eight random hex digits: a registry key or service name of this run alone, so that
// tests running side by side (and leftovers of an aborted run) never meet.
inline std::string uniqueName(const std::string& prefix) {
  std::random_device random;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(random()));
  return prefix + digits;
}

// The path with "\" separators, as the system spells the paths it gives back.
inline std::string backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

}  // namespace kn::test
