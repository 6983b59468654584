// Paths for std::filesystem. The programs hold paths as UTF-8 text; a std::filesystem::path made
// from a narrow string reads it in the system's 8-bit code page, which on Windows is not UTF-8 and
// would turn every name outside ASCII into another file's name.
#pragma once

#include <filesystem>
#include <string_view>

namespace kn {

inline std::filesystem::path fsPath(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace kn
