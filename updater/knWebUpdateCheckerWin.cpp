// The system's description from the version the kernel reports and the product name.
#include <windows.h>

#include "KNWinText.h"
#include "knWebUpdateChecker.h"

namespace kn {
namespace {

// "Windows 10 Pro" as the registry names the product ("Microsoft " left off); Windows 11 still
// says "Windows 10" there, so its build number decides. "Windows" when there is no name.
std::string productName(DWORD build) {
  wchar_t buf[256];
  DWORD bytes = sizeof buf;
  std::string name = "Windows";
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buf, &bytes) == ERROR_SUCCESS)
    name = win::narrow(buf);
  if (name.rfind("Microsoft ", 0) == 0) name.erase(0, 10);
  if (build >= 22000 && name.rfind("Windows 10", 0) == 0) name.replace(8, 2, "11");
  return name.empty() ? "Windows" : name;
}

}  // namespace

std::string systemDescription() {
  // GetVersionEx is capped at the version in a program's manifest; the kernel's own call is not.
  RTL_OSVERSIONINFOEXW v{};
  v.dwOSVersionInfoSize = sizeof v;
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (!rtlGetVersion || rtlGetVersion(&v) != 0) v = {};
  return formatSystemDescription(productName(v.dwBuildNumber), static_cast<int>(v.dwMajorVersion),
                                 static_cast<int>(v.dwMinorVersion), static_cast<int>(v.dwBuildNumber),
                                 v.wServicePackMajor, true);
}

}  // namespace kn
