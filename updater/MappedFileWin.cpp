// The mapping by a file mapping object.
#include <windows.h>

#include "KNOs.h"
#include "KNWinText.h"
#include "MappedFile.h"

namespace kn {

MappedFile::MappedFile(const std::string& path) {
  HANDLE file = ::CreateFileW(win::widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw EOSError("cannot read " + path);
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  bool regular = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
                 !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                 ::GetFileSizeEx(file, &size);
  if (!regular) {
    ::CloseHandle(file);
    throw EOSError("cannot read " + path);
  }
  size_ = static_cast<std::size_t>(size.QuadPart);
  if (size_ == 0) {
    ::CloseHandle(file);
    return;
  }
  // The view keeps the mapping, and the mapping the file, for as long as it lives.
  HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  DWORD err = ::GetLastError();
  ::CloseHandle(file);
  void* view = mapping ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (mapping) {
    err = view ? err : ::GetLastError();
    ::CloseHandle(mapping);
  }
  if (!view) throw EOSError("cannot map " + path + ": " + os().errorText(static_cast<int>(err)));
  data_ = static_cast<const unsigned char*>(view);
}

MappedFile::~MappedFile() {
  if (data_) ::UnmapViewOfFile(data_);
}

}  // namespace kn
