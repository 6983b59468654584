// Windows only: text at the seam. The programs hold UTF-8; the wide Windows functions take and
// give UTF-16. Paths are also made ready for them here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kn::win {

// UTF-8 to UTF-16 and back; an invalid sequence becomes U+FFFD.
std::wstring wide(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// `path` for the wide file functions: "/" turned into "\", and an absolute path of MAX_PATH or
// more characters given the "\\?\" prefix (or "\\?\UNC\" for a share), which lifts the limit.
std::wstring widePath(std::string_view path);

// `argv` as one command line that CommandLineToArgvW and the C runtime read back unchanged:
// arguments with a space, tab or quote (or empty) quoted, backslashes doubled where they precede a
// quote.
std::wstring commandLine(const std::vector<std::string>& argv);

// The English text of a Windows error code without its final period and line break
// ("The system cannot find the file specified"); "Unknown error N" when Windows has none.
std::string errorText(unsigned long code);

}  // namespace kn::win
