// Application-data folders on Windows: the shell's known folders; hidden is the hidden attribute.
#include <windows.h>
#include <shlobj.h>

#include "KNWinText.h"
#include "knAppDataFolders.h"

namespace kn {

std::string shellFolder(ShellFolder which) {
  const KNOWNFOLDERID& id = which == ShellFolder::CommonAppData  ? FOLDERID_ProgramData
                            : which == ShellFolder::LocalAppData ? FOLDERID_LocalAppData
                                                                 : FOLDERID_RoamingAppData;
  wchar_t* path = nullptr;
  std::string out;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path))) out = win::narrow(path);
  ::CoTaskMemFree(path);
  return out;
}

void hideFolder(const std::string& folder) {
  std::wstring w = win::widePath(folder);
  DWORD a = ::GetFileAttributesW(w.c_str());
  if (a != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesW(w.c_str(), a | FILE_ATTRIBUTE_HIDDEN);
}

void hideFile(const std::string& file) { hideFolder(file); }

}  // namespace kn
