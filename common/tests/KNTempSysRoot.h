// A throw-away machine for a test: a fresh temporary folder that KN_SYSROOT, HOME, XDG_CONFIG_HOME
// and XDG_DATA_HOME point into for the life of the object. The variables are restored and the
// folder removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kn::test {

class TempSysRoot {
 public:
  TempSysRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "knroot.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    point("KN_SYSROOT", path_ + "/sys");
    point("HOME", path_ + "/home");
    point("XDG_CONFIG_HOME", path_ + "/home/.config");
    point("XDG_DATA_HOME", path_ + "/home/.local/share");
  }
  ~TempSysRoot() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempSysRoot(const TempSysRoot&) = delete;
  TempSysRoot& operator=(const TempSysRoot&) = delete;

  // The folder, without a trailing "/".
  const std::string& path() const { return path_; }

  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void write(const std::string& file, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }

 private:
  void point(const std::string& name, const std::string& value) {
    const char* old = ::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::setenv(name.c_str(), value.c_str(), 1);
  }

  std::string path_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace kn::test
