// A throw-away machine for a test: a fresh temporary folder that KN_SYSROOT, HOME, XDG_CONFIG_HOME
// and XDG_DATA_HOME point into for the life of the object. The variables are restored and the
// folder removed afterwards.
#pragma once

#include <string>

#include "KNTestTempDir.h"

namespace kn::test {

class TempSysRoot {
 public:
  TempSysRoot() = default;
  TempSysRoot(const TempSysRoot&) = delete;
  TempSysRoot& operator=(const TempSysRoot&) = delete;

  // The folder, without a trailing "/".
  const std::string& path() const { return dir_.path(); }

  static std::string read(const std::string& file) { return readBytes(file); }
  // Writes `bytes` to `file`, creating its folders.
  static void write(const std::string& file, const std::string& bytes) { writeBytes(file, bytes); }

 private:
  TempDir dir_{"knroot"};
  ScopedEnv sysroot_{"KN_SYSROOT", dir_.path() + "/sys"};
  ScopedEnv home_{"HOME", dir_.path() + "/home"};
  ScopedEnv config_{"XDG_CONFIG_HOME", dir_.path() + "/home/.config"};
  ScopedEnv data_{"XDG_DATA_HOME", dir_.path() + "/home/.local/share"};
};

}  // namespace kn::test
