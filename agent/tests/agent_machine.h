// A throw-away machine for the agent's in-process tests: KN_SYSROOT, HOME and XDG_CONFIG_HOME in a
// temporary folder, the executable "auditagent" in its bin/ folder with its logs, the application
// data folder, and the process-wide channel pointed at a platform.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "KNEnv.h"
#include "KNTestTempDir.h"
#include "ext.channel.h"
#include "knAppData.h"
#include "knLOG2.h"

namespace kn::test {

class AgentMachine {
 public:
  AgentMachine()
      : sysroot_("KN_SYSROOT", root_ / "sys"),
        home_("HOME", root_ / "home"),
        config_("XDG_CONFIG_HOME", root_ / "home/.config"),
        scale_("KN_TIME_SCALE", std::nullopt) {
    std::filesystem::create_directories(root_ / "bin");
    setExeOverride(root_ / "bin", "auditagent");
    initLogAt(root_ / "bin/", "auditagent");
    TKNAppData::Init("ZARODIRazev", "Kestrane", true);
  }
  ~AgentMachine() {
    TExtChannel::setGlobalInstance(nullptr);
    releaseAppData();
    resetLog();
    setExeOverride("", "");
  }
  AgentMachine(const AgentMachine&) = delete;
  AgentMachine& operator=(const AgentMachine&) = delete;

  // Every channel made from now on posts to `url`.
  void connect(const std::string& url) {
    TExtChannel::setGlobalEndpoint(url);
    TExtChannel::setGlobalInstance(std::make_unique<TExtChannel>());
  }

  std::string path(const std::string& rel) const { return root_ / rel; }
  std::string pendingFile() const { return appData()->appFolder + "latest_audit.json"; }
  std::string hiveHKCU() const { return root_ / "home/.config/kestrane/HKCU.reg"; }
  std::string log(const std::string& name) const { return namedLogFile(name); }

 private:
  TempDir root_;
  ScopedEnv sysroot_, home_, config_, scale_;
};

}  // namespace kn::test
