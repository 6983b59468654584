// The system's service control on Linux: systemctl, run as an argument vector.
#include "KNServiceControl.h"

#include <cstdlib>
#include <optional>
#include <vector>

#include "KNOs.h"

namespace kn {
namespace {

// Only this much of a run's standard output is kept; the rest is read and dropped.
constexpr std::size_t kMaxOutput = 4096;

std::string systemctlProgram() {
  const char* v = std::getenv("KN_SYSTEMCTL");
  return v && *v ? v : "systemctl";
}

// Runs the systemctl program with `args`, in its own process group, and gives its standard output
// when it exited with status 0 within `timeout`; nothing otherwise.
std::optional<std::string> runSystemctl(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  std::vector<std::string> argv{systemctlProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult r = os().runProgram({.argv = std::move(argv), .timeout = timeout, .maxOutput = kMaxOutput});
  if (!r.exitedWith(0)) return std::nullopt;
  return std::move(r.output);
}

std::string firstLine(const std::string& out) {
  std::string s = out.substr(0, out.find('\n'));
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

// A name that systemctl could not mistake for an option or a second argument.
bool safeName(const std::string& name) {
  if (name.empty() || name[0] == '-') return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

class SystemServiceControl : public IServiceControl {
 public:
  explicit SystemServiceControl(std::chrono::milliseconds timeout) : timeout_(timeout) {}

  int queryState(const std::string& name) noexcept override {
    try {
      std::string state = showProperty("ActiveState", name);
      if (state == "inactive") {
        // systemctl shows any unit it does not know as inactive; only its load state tells.
        std::string load = showProperty("LoadState", name);
        return load.empty() || load == "not-found" ? kServiceUnknown : kServiceStopped;
      }
      if (state == "failed") return kServiceStopped;
      if (state == "activating") return kServiceStartPending;
      if (state == "deactivating") return kServiceStopPending;
      if (state == "active" || state == "reloading") return kServiceRunning;
      return kServiceUnknown;
    } catch (...) {
      return kServiceUnknown;
    }
  }

  bool requestStop(const std::string& name) noexcept override { return request("stop", name); }
  bool requestStart(const std::string& name) noexcept override { return request("start", name); }

 private:
  // The property's value, "" on any failure.
  std::string showProperty(const char* property, const std::string& name) {
    if (!safeName(name)) return "";
    auto out = runSystemctl({"show", "-p", property, "--value", name}, timeout_);
    return out ? firstLine(*out) : "";
  }

  bool request(const char* verb, const std::string& name) noexcept {
    try {
      if (!safeName(name)) return false;
      return runSystemctl({verb, "--no-block", name}, timeout_).has_value();
    } catch (...) {
      return false;
    }
  }

  std::chrono::milliseconds timeout_;
};

}  // namespace

std::unique_ptr<IServiceControl> newSystemServiceControl(std::chrono::milliseconds timeout) {
  return std::make_unique<SystemServiceControl>(timeout);
}

}  // namespace kn
