// The log's files on Windows: the folder's access list gives SYSTEM and Administrators full
// control and nobody else anything, not inherited from above; its files inherit that list.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <filesystem>

#include "KNWinText.h"
#include "knLOG2Files.h"

namespace kn::logfiles {
namespace {

// Protected (P): nothing inherited from the parent. SYSTEM (SY) and the Administrators group (BA)
// get full access (FA), passed on to files and subfolders (OICI).
constexpr const wchar_t* kLogFolderAccess = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

void protect(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderAccess, SDDL_REVISION_1, &sd, nullptr))
    return;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present)
    ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                            nullptr);
  ::LocalFree(sd);
}

}  // namespace

void begin() {}

bool exists(const std::string& path) {
  return ::GetFileAttributesW(win::widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void prepareFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(win::widePath(folder)), ec);
  protect(win::widePath(folder));
}

void createEmpty(const std::string& path) {
  HANDLE h = ::CreateFileW(win::widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
}

void append(const std::string& path, std::string_view line) {
  // FILE_APPEND_DATA alone: every write goes to the end, so lines of other processes stay whole.
  HANDLE h = ::CreateFileW(win::widePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
  ::CloseHandle(h);
}

}  // namespace kn::logfiles
