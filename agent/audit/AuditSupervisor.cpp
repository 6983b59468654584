#include "AuditSupervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "KNEnv.h"
#include "KNFd.h"
#include "knLOG2.h"

extern char** environ;

namespace kn {
namespace {

// The most of the child's output kept: its error message, or a sanitizer's report.
constexpr size_t kMaxOutput = 64 * 1024;
// How often the child is looked at when the kernel cannot signal its end through a pidfd.
constexpr int kPollFallbackMs = 5;

// The cancel signal: an eventfd made once and a count of runs in progress.
struct CancelState {
  std::mutex mutex;
  int eventFd = -1;
  int running = 0;
};
CancelState& cancelState() {
  static CancelState* state = new CancelState;  // never destroyed: usable until the process ends
  return *state;
}

std::string signalText(int sig) {
  const char* name = ::sigdescr_np(sig);
  return std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
}

std::string durationText(std::chrono::milliseconds d) {
  if (d.count() % 60000 == 0) return std::to_string(d.count() / 60000) + " minutes";
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " seconds";
  return std::to_string(d.count()) + " ms";
}

// Registers a run so that cancelRunningAudit reaches it; a cancel before the run began is dropped.
class RunRegistration {
 public:
  RunRegistration() {
    CancelState& s = cancelState();
    std::lock_guard lock(s.mutex);
    if (s.eventFd < 0) s.eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.eventFd < 0)
      throw EAuditProcess(std::string("Fail: cannot create an event: ") + std::strerror(errno));
    if (s.running++ == 0) {
      std::uint64_t drained;
      while (::read(s.eventFd, &drained, sizeof drained) > 0) {
      }
    }
    fd_ = s.eventFd;
  }
  ~RunRegistration() {
    CancelState& s = cancelState();
    std::lock_guard lock(s.mutex);
    --s.running;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    ::posix_spawnattr_init(&attr_);
    ::posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnAttributes() {
    ::posix_spawnattr_destroy(&attr_);
    ::posix_spawn_file_actions_destroy(&actions_);
  }
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

std::string& childProgram() {
  static std::string* program = new std::string;
  return *program;
}

}  // namespace

void setAuditChildProgram(std::string path) { childProgram() = std::move(path); }

void cancelRunningAudit() {
  CancelState& s = cancelState();
  std::lock_guard lock(s.mutex);
  if (s.running == 0 || s.eventFd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(s.eventFd, &one, sizeof one);
}

SupervisedAuditStats runSupervisedAudit(const std::string& outfn, const SupervisedAuditOptions& options) {
  std::vector<std::string> command = options.command;
  std::string program = childProgram().empty() ? "/proc/self/exe" : childProgram();
  if (command.empty()) {
    command = {childProgram().empty() ? exePath() : childProgram(), kAuditChildSwitch, outfn};
    if (!options.extendedInventory) command.push_back(kAuditChildBasicSwitch);
  } else {
    program = command.front();
  }
  const std::chrono::milliseconds limit =
      options.timeLimit.count() > 0 ? options.timeLimit : std::chrono::milliseconds(kAuditTimeLimit);

  RunRegistration registration;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    throw EAuditProcess(std::string("Fail: cannot create a pipe: ") + std::strerror(errno));
  Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

  // The child starts with default signal handling, nothing blocked, /dev/null as input and the pipe
  // as output and error output.
  SpawnAttributes sa;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&sa.attr_, &none);
  ::posix_spawnattr_setsigdefault(&sa.attr_, &all);
  ::posix_spawnattr_setflags(&sa.attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  ::posix_spawn_file_actions_addopen(&sa.actions_, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&sa.actions_, writeEnd.get(), 1);
  ::posix_spawn_file_actions_adddup2(&sa.actions_, writeEnd.get(), 2);

  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawnError = ::posix_spawn(&pid, program.c_str(), &sa.actions_, &sa.attr_, argv.data(), environ);
  if (spawnError != 0)
    throw EAuditProcess("Fail: cannot start the audit process " + logSafe(program) + ": " +
                        std::strerror(spawnError));
  writeEnd.reset();
  Fd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string output;
  bool outputOpen = true;
  int status = 0;
  rusage usage{};
  std::string killedFor;
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      killedFor =
          "Fail: the audit ran longer than its time limit of " + durationText(limit) + " and was stopped";
    } else {
      pollfd fds[3] = {{registration.fd(), POLLIN, 0}, {pidFd.get(), POLLIN, 0}, {-1, POLLIN, 0}};
      if (outputOpen) fds[2].fd = readEnd.get();
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      if (pidFd.get() < 0) wait = std::min<long long>(wait, kPollFallbackMs);
      const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(wait, 60000)));
      if (ready < 0 && errno != EINTR)
        killedFor = std::string("Fail: waiting for the audit process failed: ") + std::strerror(errno);
      if (ready > 0 && (fds[0].revents & POLLIN))
        killedFor = "Fail: the audit was stopped: the service is stopping";
      if (ready > 0 && outputOpen && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[4096];
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0 && output.size() < kMaxOutput)
          output.append(buffer, std::min(static_cast<size_t>(n), kMaxOutput - output.size()));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) outputOpen = false;
      }
    }
    if (!killedFor.empty()) {
      ::kill(pid, SIGKILL);
      while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
      }
      throw EAuditProcess(killedFor);
    }
  }
  // What the child wrote before it ended and is still in the pipe (a grandchild may hold the pipe
  // open, so read only what is there).
  ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
  char buffer[4096];
  for (ssize_t n; outputOpen && (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;)
    if (output.size() < kMaxOutput)
      output.append(buffer, std::min(static_cast<size_t>(n), kMaxOutput - output.size()));
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();

  SupervisedAuditStats stats;
  stats.peakRssKb = static_cast<std::uint64_t>(usage.ru_maxrss);
  stats.cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    // The audit's notices (a class cut at its bound), one line each.
    for (size_t start = 0; start < output.size();) {
      const size_t end = std::min(output.find('\n', start), output.size());
      if (end > start) logMsg("Audit: " + logSafe(output.substr(start, end - start)));
      start = end + 1;
    }
    return stats;
  }
  if (WIFSIGNALED(status))
    throw EAuditProcess("Fail: the audit process ended by signal " + signalText(WTERMSIG(status)) +
                        (output.empty() ? std::string() : ": " + output));
  if (output.empty())
    throw EAuditProcess("Fail: the audit process ended with exit code " +
                        std::to_string(WEXITSTATUS(status)));
  throw EAuditProcess(output);
}

}  // namespace kn
