// A throw-away machine for the agent's in-process tests: KN_SYSROOT, HOME and XDG_CONFIG_HOME in a
// temporary folder, the executable "auditagent" in its bin/ folder with its logs, the application
// data folder, and the process-wide channel pointed at a platform. On Windows, where the stores and
// the application data are the real registry and ProgramData, they sit below a maker's name of the
// test's own (agent_places.h), removed at the end.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "KNEnv.h"
#include "KNTestTempDir.h"
#include "agent_places.h"
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
    TKNAppData::Init("ZARODIRazev", company_.name(), true);
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
  // The current user's stores (the schedule's next audit time, the device id).
  bool userSettingsSaved() const { return userSettingsExist(company_.name()); }
  void removeUserSettings() const { test::removeUserSettings(company_.name()); }
  std::string log(const std::string& name) const { return namedLogFile(name); }

 private:
  TempDir root_;
  ScopedEnv sysroot_, home_, config_, scale_;
  ScratchCompany company_;
};

}  // namespace kn::test
