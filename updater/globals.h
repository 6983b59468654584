// The updater's configuration: the JSON file beside the executable ("<executable path>config") that
// names the service and lists the applications to watch, read once at start-up and only read after.
//
// File format (other keys are ignored at both levels):
//   { "name": "kSU_main", "descr": "Updates the apps beside it",
//     "services": [ { "exe": "app1", "appid": "app1", "interval": 60, "service": "app1" } ] }
// "interval" is in minutes; "service" (the systemd unit to stop and start) may be left out.
// Two optional top-level keys: "updateurl", the update server's base (http or https), and
// "publickey", a PEM Ed25519 public key file (relative to the updater's folder) that makes every
// package need a signature.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KNException.h"

namespace kn {

class TUpdaterConfig {
 public:
  // Reads and checks the file at `path`, logging what it reads. Throws kn::Exception with the
  // system's message when the file as a whole is unusable (missing, not a JSON object, no "name",
  // no "descr", no "services" array, an "updateurl" that is not an http or https URL). A bad entry of
  // "services" is logged with its position and left out; the other entries are kept.
  static TUpdaterConfig load(const std::string& path);

  // The whole configuration as parsed (an object).
  const nlohmann::json& CF() const { return cf_; }
  const std::string& name() const { return name_; }
  // "updateurl" as written ("" without one); the server base.
  const std::string& updateUrl() const { return updateUrl_; }
  // The absolute path of "publickey" ("" without one): a relative one is taken beside the file.
  const std::string& publicKeyPath() const { return publicKeyPath_; }
  // One item per valid entry: its "exe" and its own position in the "services" array.
  const std::vector<std::pair<std::string, int>>& monitoredApps() const { return apps_; }
  // The "services" entry whose "exe" is `exe` (letter case ignored). Throws kn::Exception
  // "Application [<exe>] not found under this kSU." when there is none.
  const nlohmann::json& getAppConfig(const std::string& exe) const;
  // "Monitoring: "'s text: exe=position items, comma-separated, quoted where needed.
  std::string monitoredAppsText() const;

 private:
  int indexOf(const std::string& exe) const;
  nlohmann::json cf_ = nlohmann::json::object();
  std::string name_;
  std::string updateUrl_;
  std::string publicKeyPath_;
  std::vector<std::pair<std::string, int>> apps_;
};

// How a value of the configuration is read, the same when it is checked and when it is used: a
// missing key or a value of another kind reads as "" or 0; a number read as text is its JSON text;
// an integer beyond the 64-bit range reads as the largest 64-bit one.
std::string configText(const nlohmann::json& obj, const char* key);
long long configInteger(const nlohmann::json& obj, const char* key);

// The configuration file of the running executable: its path with "config" appended.
std::string configPath();

// Loads the process-wide configuration from configPath(). On failure logs the exception block
// "LoadConfig failed" to the main log and ends the process with exit code 255. Call once at
// start-up, before any other thread exists.
void LoadConfig();
// The process-wide configuration (empty until LoadConfig, or replaced by tests with setConfig).
const TUpdaterConfig& config();
void setConfig(TUpdaterConfig cf);

// The folder the watched applications live in, ending in "/": the executable's folder.
std::string updaterFolder();

// The fixed ticks of the updater's schedule. They do not scale with KN_TIME_SCALE; tests shorten
// them before starting anything, and nothing changes them while threads run.
struct TUpdaterTicks {
  std::chrono::milliseconds threadTick{998};   // an update thread's wake-up
  std::chrono::milliseconds servicePoll{500};  // between two service state queries
  std::chrono::milliseconds hostTick{1000};    // the service host's stop-request poll
};
TUpdaterTicks& updaterTicks();

}  // namespace kn
