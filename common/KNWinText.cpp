#include "KNWinText.h"

#include <windows.h>

namespace kn::win {

std::wstring wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0, nullptr,
                                nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring widePath(std::string_view path) {
  std::wstring w = wide(path);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  if (w.size() < MAX_PATH || w.starts_with(L"\\\\?\\")) return w;
  if (w.size() > 2 && w[1] == L':' && w[2] == L'\\') return L"\\\\?\\" + w;
  if (w.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + w.substr(2);
  return w;  // a relative path: Windows resolves it, within its limit
}

namespace {

void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (size_t i = 0;; ++i) {
    size_t slashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++slashes;
    if (i == arg.size()) {
      line.append(slashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      line.append(slashes * 2 + 1, L'\\');
    } else {
      line.append(slashes, L'\\');
    }
    line += arg[i];
  }
  line += L'"';
}

}  // namespace

std::wstring commandLine(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const std::string& a : argv) {
    if (!line.empty()) line += L' ';
    appendQuoted(line, wide(a));
  }
  return line;
}

std::string errorText(unsigned long code) {
  wchar_t* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD n = ::FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                             reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0)
    n = ::FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                         reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0) return "Unknown error " + std::to_string(code);
  std::wstring w(text, n);
  ::LocalFree(text);
  while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ' || w.back() == L'.'))
    w.pop_back();
  return narrow(w);
}

}  // namespace kn::win
