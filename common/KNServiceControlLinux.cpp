// The system's service control on Linux: systemctl, run as an argument vector.
#include "KNServiceControl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include "KNFd.h"

extern char** environ;

namespace kn {
namespace {

using Clock = std::chrono::steady_clock;

// Only this much of a run's standard output is kept; the rest is read and dropped.
constexpr std::size_t kMaxOutput = 4096;

struct RunResult {
  int exitStatus;
  std::string out;  // at most kMaxOutput bytes
};

std::string systemctlProgram() {
  const char* v = std::getenv("KN_SYSTEMCTL");
  return v && *v ? v : "systemctl";
}

// Kills the child's whole process group and reaps the child.
void killAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : left > 60000 ? 60000 : int(left);
}

// Runs the systemctl program with `args`, standard input and error on /dev/null, in its own process
// group. Nothing when it could not be started, did not end within `timeout`, or did not exit normally.
std::optional<RunResult> runSystemctl(const std::vector<std::string>& args,
                                      std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::string program = systemctlProgram();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  Fd readEnd(fds[0]), writeEnd(fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  writeEnd.reset();
  if (rc != 0) return std::nullopt;

  RunResult result{-1, {}};
  char buf[4096];
  for (;;) {
    pollfd p{readEnd.get(), POLLIN, 0};
    int n = ::poll(&p, 1, remainingMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // time is up (or poll failed): the run is abandoned
      killAndReap(pid);
      return std::nullopt;
    }
    ssize_t got = ::read(readEnd.get(), buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;  // end of output
    std::size_t keep = std::min<std::size_t>(std::size_t(got), kMaxOutput - result.out.size());
    result.out.append(buf, keep);
  }
  readEnd.reset();

  // The output has ended; the program normally exits at the same moment.
  for (;;) {
    int status = 0;
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      if (!WIFEXITED(status)) return std::nullopt;
      result.exitStatus = WEXITSTATUS(status);
      return result;
    }
    if (w < 0 && errno != EINTR) return std::nullopt;  // not our child any more (SIGCHLD ignored)
    if (Clock::now() >= deadline) {
      killAndReap(pid);
      return std::nullopt;
    }
    timespec pause{0, 1000000};  // 1 ms
    ::nanosleep(&pause, nullptr);
  }
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
    auto r = runSystemctl({"show", "-p", property, "--value", name}, timeout_);
    return r && r->exitStatus == 0 ? firstLine(r->out) : "";
  }

  bool request(const char* verb, const std::string& name) noexcept {
    try {
      if (!safeName(name)) return false;
      auto r = runSystemctl({verb, "--no-block", name}, timeout_);
      return r && r->exitStatus == 0;
    } catch (...) {
      return false;
    }
  }

  std::chrono::milliseconds timeout_;
};

std::atomic<IServiceControl*> replacement{nullptr};

}  // namespace

std::unique_ptr<IServiceControl> newSystemServiceControl(std::chrono::milliseconds timeout) {
  return std::make_unique<SystemServiceControl>(timeout);
}

IServiceControl& serviceControl() {
  if (IServiceControl* r = replacement.load()) return *r;
  static const std::unique_ptr<IServiceControl> system = newSystemServiceControl();
  return *system;
}

void setServiceControl(IServiceControl* control) { replacement.store(control); }

}  // namespace kn
