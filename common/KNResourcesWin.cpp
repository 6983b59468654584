// Resources on Windows: resources of type "TEXT" of the executable, language neutral or 1033. The
// build step stores each file with one NUL byte after it, which is not part of the data.
#include "KNResources.h"

#include <windows.h>

#include "KNWinText.h"

namespace kn::detail {

std::optional<std::string_view> platformResource(std::string_view name) {
  HMODULE self = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(self, win::wide(name).c_str(), L"TEXT");
  if (!found) return std::nullopt;
  HGLOBAL loaded = ::LoadResource(self, found);
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return std::nullopt;
  DWORD size = ::SizeofResource(self, found);
  const char* bytes = static_cast<const char*>(data);
  if (size > 0 && bytes[size - 1] == '\0') --size;
  return std::string_view(bytes, size);
}

}  // namespace kn::detail
