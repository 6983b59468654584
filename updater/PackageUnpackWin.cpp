// Names Windows can hold, hard links, and files that a program still holds open.
#include <windows.h>

#include <algorithm>
#include <array>
#include <thread>

#include "KNOs.h"
#include "KNWinText.h"
#include "PackageUnpackSystem.h"

namespace kn::unpack {
namespace {

// The longest name of a folder entry and the longest path the wide functions take ("\\?\" form),
// in UTF-16 units.
constexpr std::size_t kMaxNameUnits = 255;
constexpr std::size_t kMaxPathUnits = 32767 - 8;

// Names that open a device in every folder, whatever follows a dot: "NUL", "con.txt", "COM1.dll".
bool isDeviceName(std::wstring_view name) {
  std::wstring base(name.substr(0, name.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  static constexpr std::array<std::wstring_view, 6> kFixed{L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  if (std::find(kFixed.begin(), kFixed.end(), base) != kFixed.end()) return true;
  if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) return false;
  // COM1 to COM9 and LPT1 to LPT9, and their superscript forms COM¹ COM² COM³.
  wchar_t d = base[3];
  return (d >= L'1' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
}

}  // namespace

std::string nameProblem(const std::string& folder, const std::string& name) {
  std::wstring w = win::wide(name);
  if (w.size() > kMaxNameUnits || win::wide(folder).size() + w.size() > kMaxPathUnits)
    return "has a name longer than the file system allows";
  for (wchar_t c : w)
    if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos)
      return "has a name Windows cannot hold (a control character or one of < > : \" / \\ | ? *)";
  if (w.back() == L'.' || w.back() == L' ')
    return "has a name Windows cannot hold (it ends in a dot or a blank)";
  if (isDeviceName(w)) return "has a name Windows keeps for a device";
  return "";
}

std::string nameKey(const std::string& name) {
  std::wstring w = win::wide(name);
  std::wstring upper(w.size(), L'\0');
  int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, w.c_str(), static_cast<int>(w.size()),
                          upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
  if (n <= 0) return name;
  upper.resize(static_cast<std::size_t>(n));
  return win::narrow(upper);
}

void takeOverAttributes(const std::string& temp, const std::string&, unsigned) {
  // The file keeps the access list it inherited from the folder, as every new file there does.
  // The folder cannot be flushed as a whole without administrator rights on the volume, so each
  // file is flushed here.
  HANDLE h = ::CreateFileW(win::widePath(temp).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) throwOSError("Cannot write " + temp, static_cast<int>(::GetLastError()));
  BOOL flushed = ::FlushFileBuffers(h);
  DWORD err = ::GetLastError();
  ::CloseHandle(h);
  if (!flushed) throwOSError("Cannot write " + temp, static_cast<int>(err));
}

bool addSecondName(const std::string& target, const std::string& link) {
  if (::CreateHardLinkW(win::widePath(link).c_str(), win::widePath(target).c_str(), nullptr)) return true;
  DWORD err = ::GetLastError();
  if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) return false;
  throwOSError("Cannot keep a copy of " + target, static_cast<int>(err));
}

bool awaitReplaceable(const std::string& path, std::chrono::steady_clock::time_point deadline,
                      const std::stop_token& stop) {
  const std::wstring w = win::widePath(path);
  for (auto pause = std::chrono::milliseconds(20);; pause = std::min(pause * 2, std::chrono::milliseconds(500))) {
    // Opening for deletion while sharing everything fails exactly when another handle was opened
    // without FILE_SHARE_DELETE, which is what keeps a file from being replaced.
    HANDLE h = ::CreateFileW(w.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      ::CloseHandle(h);
      return true;
    }
    DWORD err = ::GetLastError();
    if (err != ERROR_SHARING_VIOLATION && err != ERROR_LOCK_VIOLATION) return true;  // the rename will say why
    if (stop.stop_requested() || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        pause, std::max<std::chrono::steady_clock::duration>(deadline - std::chrono::steady_clock::now(), {})));
  }
}

void flushFolder(const std::string&) {
  // Each file was flushed when it was finished; the renames are written through (MoveFileEx).
}

}  // namespace kn::unpack
