// The supervised audit on Linux (AuditProcess.h): the child is spawned (posix_spawn, never fork of
// the threaded agent) with default signal handling, /dev/null as input and one pipe as output and
// error output; the agent then waits in one poll on a pidfd (the child's end), an eventfd (the
// cancel signal) and the pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>

#include "AuditProcess.h"
#include "KNFd.h"
#include "KNLib.h"
#include "knLOG2.h"

extern char** environ;

namespace kn {
namespace {

// How often the child is looked at when the kernel cannot signal its end through a pidfd.
constexpr int kPollFallbackMs = 5;

// "Fail: <what>: <the system's reason>".
std::string failure(const std::string& what, int error) { return "Fail: " + what + ": " + errnoText(error); }

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

// Registers a run so that cancelRunningAudit reaches it; a cancel before the run began is dropped.
class RunRegistration {
 public:
  RunRegistration() {
    CancelState& s = cancelState();
    std::lock_guard lock(s.mutex);
    if (s.eventFd < 0) s.eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.eventFd < 0) throw EAuditProcess(failure("cannot create an event", errno));
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

void appendOutput(std::string& output, const char* data, ssize_t n) {
  if (n > 0 && output.size() < auditprocess::kMaxOutput)
    output.append(data, std::min(static_cast<size_t>(n), auditprocess::kMaxOutput - output.size()));
}

}  // namespace

void cancelRunningAudit() {
  CancelState& s = cancelState();
  std::lock_guard lock(s.mutex);
  if (s.running == 0 || s.eventFd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(s.eventFd, &one, sizeof one);
}

namespace auditprocess {

std::string ownImage() { return "/proc/self/exe"; }

std::string signalText(int sig) {
  const char* name = ::sigdescr_np(sig);
  return std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
}

ChildEnd runChild(const std::string& program, const std::vector<std::string>& command,
                  std::chrono::milliseconds limit) {
  RunRegistration registration;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw EAuditProcess(failure("cannot create a pipe", errno));
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

  std::vector<std::string> args = command;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawnError = ::posix_spawn(&pid, program.c_str(), &sa.actions_, &sa.attr_, argv.data(), environ);
  if (spawnError != 0)
    throw EAuditProcess(failure("cannot start the audit process " + logSafe(program), spawnError));
  writeEnd.reset();
  Fd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  const auto deadline = std::chrono::steady_clock::now() + limit;
  ChildEnd end;
  bool outputOpen = true;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    std::optional<ChildEnd::How> killedFor;
    std::string waitFailure;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      killedFor = ChildEnd::How::TimedOut;
    } else {
      pollfd fds[3] = {{registration.fd(), POLLIN, 0}, {pidFd.get(), POLLIN, 0}, {-1, POLLIN, 0}};
      if (outputOpen) fds[2].fd = readEnd.get();
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      if (pidFd.get() < 0) wait = std::min<long long>(wait, kPollFallbackMs);
      const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(wait, 60000)));
      if (ready < 0 && errno != EINTR) waitFailure = failure("waiting for the audit process failed", errno);
      if (ready > 0 && (fds[0].revents & POLLIN)) killedFor = ChildEnd::How::Cancelled;
      if (ready > 0 && outputOpen && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[4096];
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        appendOutput(end.output, buffer, n);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) outputOpen = false;
      }
    }
    if (killedFor || !waitFailure.empty()) {
      ::kill(pid, SIGKILL);
      while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
      }
      if (!waitFailure.empty()) throw EAuditProcess(waitFailure);
      ChildEnd killed;
      killed.how = *killedFor;
      return killed;
    }
  }
  // What the child wrote before it ended and is still in the pipe (a grandchild may hold the pipe
  // open, so read only what is there).
  ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
  char buffer[4096];
  for (ssize_t n; outputOpen && (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;)
    appendOutput(end.output, buffer, n);
  while (!end.output.empty() && (end.output.back() == '\n' || end.output.back() == '\r'))
    end.output.pop_back();

  end.stats.peakRssKb = static_cast<std::uint64_t>(usage.ru_maxrss);
  end.stats.cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  if (WIFSIGNALED(status)) {
    end.how = ChildEnd::How::Signalled;
    end.code = WTERMSIG(status);
  } else {
    end.how = ChildEnd::How::Exited;
    end.code = WEXITSTATUS(status);
  }
  return end;
}

}  // namespace auditprocess
}  // namespace kn
