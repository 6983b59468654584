// The version of an executable on Windows: "FileVersion" of its VERSIONINFO resource.
#include "KNVersion.h"

#include <windows.h>

#include <vector>

#include "KNOs.h"
#include "KNWinText.h"

namespace kn {
namespace {

constexpr const char* kUnreadable = "0.0.0.0";

}  // namespace

std::string fileVersion(const std::string& path) {
  std::wstring file = win::widePath(path);
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return kUnreadable;
  std::vector<unsigned char> info(size);
  if (!::GetFileVersionInfoW(file.c_str(), 0, size, info.data())) return kUnreadable;
  struct Translation {
    WORD language, codePage;
  }* translations = nullptr;
  UINT bytes = 0;
  if (!::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &bytes) ||
      bytes < sizeof(Translation))
    return "";
  for (UINT i = 0; i < bytes / sizeof(Translation); ++i) {
    wchar_t key[64];
    ::swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translations[i].language, translations[i].codePage);
    wchar_t* text = nullptr;
    UINT length = 0;
    if (::VerQueryValueW(info.data(), key, reinterpret_cast<void**>(&text), &length) && text) {
      std::wstring value(text, length);
      while (!value.empty() && value.back() == L'\0') value.pop_back();
      return win::narrow(value);
    }
  }
  return "";
}

std::string ownVersion() {
  static const std::string version = [] {
    try {
      return fileVersion(os().executablePath());
    } catch (const EOSError&) {
      return std::string(kUnreadable);
    }
  }();
  return version;
}

}  // namespace kn
