// The service host on systemd: unit files, systemctl, stop signals and sd_notify datagrams.
#include "KNServiceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "KNAtomicFile.h"
#include "KNEnv.h"
#include "KNOs.h"
#include "KNServiceHostLinux.h"
#include "KNServiceHostPlatform.h"

extern char** environ;

namespace kn {

namespace {

// ---- the unit file --------------------------------------------------------------------------

// A value systemd reads literally: control characters would end the line (or smuggle in another
// directive), "%" starts a specifier and a trailing backslash continues the line.
std::string unitValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      out += ' ';
    } else if (c == '%') {
      out += "%%";
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

// The program path as the first word of ExecStart: bare when it is plain, else quoted with the
// escapes systemd undoes ("\\", "\"", "%%", "$$" and \xHH for control characters).
std::string execArgument(std::string_view path) {
  bool plain = !path.empty();
  for (char c : path) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("/._+-:@,", c)) plain = false;
  }
  if (plain) return std::string(path);
  std::string out = "\"";
  for (char c : path) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '%') {
      out += "%%";
    } else if (c == '$') {
      out += "$$";
    } else if (u < 0x20 || u == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string unitFilePath(const std::string& name) {
  return underSysRoot("/etc/systemd/system/" + name + ".service");
}

// ---- systemctl ------------------------------------------------------------------------------

std::string systemctlProgram() {
  const char* v = std::getenv("KN_SYSTEMCTL");
  return v && *v ? v : "systemctl";
}

// Runs `systemctl <args>` and waits for it; throws EServiceHostError naming the command unless it
// ended with exit code 0.
void runSystemctl(const std::vector<std::string>& args) {
  std::vector<std::string> words{systemctlProgram()};
  words.insert(words.end(), args.begin(), args.end());
  std::string shown = "\"systemctl";
  for (const auto& a : args) shown += " " + a;
  shown += "\"";

  // No time-out of our own: systemctl has its own for each job it waits on. Its messages are for
  // the administrator at the command line.
  ProgramResult r = os().runProgram({.argv = words, .timeout = std::chrono::hours(24 * 365), .passOutput = true});
  switch (r.end) {
    case ProgramResult::End::Exited:
      if (r.exitCode == 0) return;
      throw EServiceHostError(shown + " failed with exit code " + std::to_string(r.exitCode));
    case ProgramResult::End::Killed:
      throw EServiceHostError(shown + " was ended by signal " + std::to_string(r.exitCode));
    case ProgramResult::End::TimedOut:
      throw EServiceHostError(shown + " did not end");
    case ProgramResult::End::NotStarted:
      break;
  }
  throw EServiceHostError("could not run " + words[0] + " for " + shown + ": " + os().errorText(r.exitCode));
}

// ---- install and uninstall ------------------------------------------------------------------

int install(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  const std::string program = exePath();
  const std::string path = unitFilePath(reg.name);
  try {
    if (program.empty()) throw EServiceHostError("the program's own path is unknown");
    module.beforeInstall();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    writeFileAtomic(path, serviceUnitText(reg, program), 0644);
  } catch (const std::exception& e) {
    std::cerr << "Service " << reg.name << ": " << e.what() << std::endl;
    return 1;
  }
  try {
    runSystemctl({"daemon-reload"});
    runSystemctl({"enable", reg.name});
  } catch (const std::exception& e) {
    std::cerr << "Service " << reg.name << ": " << path << " was written, but systemctl failed: " << e.what()
              << std::endl;
    return 1;
  }
  if (!silent) std::cout << "Service installed successfully" << std::endl;
  return 0;
}

int uninstall(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  const std::string path = unitFilePath(reg.name);
  try {
    module.beforeUninstall();
    if (::access(path.c_str(), F_OK) != 0) throw EServiceHostError("not installed (no " + path + ")");
    runSystemctl({"disable", reg.name});
    try {
      os().removePath(path);
    } catch (const EOSError& e) {
      throw EServiceHostError(std::string("could not remove ") + path + ": " + e.what());
    }
    runSystemctl({"daemon-reload"});
  } catch (const std::exception& e) {
    std::cerr << "Service " << reg.name << ": " << e.what() << std::endl;
    return 1;
  }
  if (!silent) std::cout << "Service uninstalled successfully" << std::endl;
  return 0;
}

// ---- systemd notification -------------------------------------------------------------------

// Sends one sd_notify datagram to $NOTIFY_SOCKET (a path, or "@name" for an abstract socket).
// Best effort: without the variable, or on any failure, nothing happens.
void notifySystemd(std::string_view state) {
  const char* where = std::getenv("NOTIFY_SOCKET");
  if (!where || (where[0] != '/' && where[0] != '@')) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = std::strlen(where);
  if (len >= sizeof(addr.sun_path)) return;
  std::memcpy(addr.sun_path, where, len);
  if (where[0] == '@') addr.sun_path[0] = '\0';  // abstract: no terminating NUL counted
  socklen_t addrLen =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (where[0] == '/' ? 1 : 0));
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ssize_t sent =
      ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), addrLen);
  (void)sent;
  ::close(fd);
}

// ---- stop signals ---------------------------------------------------------------------------

// What the signal handler may touch: lock-free atomics only, and write() on the wake-up pipe.
// The pipe is made by the first run and kept for the life of the process, so a late stop request
// from another thread can never write into a closed (or reused) descriptor.
std::atomic<bool> gStopRequested{false};
std::atomic<bool> gHosting{false};
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int) { requestServiceStop(); }

// Owns the stop-signal handlers for one run and restores the previous ones when it goes. Only one
// may exist at a time.
class StopSignals {
 public:
  StopSignals() {
    if (gHosting.exchange(true)) throw EServiceHostError("a service application is already running");
    if (gWakeRead.load() < 0) {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        gHosting.store(false);
        throw EServiceHostError("could not create the wake-up pipe: " + os().errorText(errno));
      }
      gWakeRead.store(fds[0]);
      gWakeWrite.store(fds[1]);  // until here a request only sets the flag (write(-1) fails)
    }
    takeRequest();  // forget a request left over from an earlier run
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // other threads' system calls carry on undisturbed
    sigaction(SIGTERM, &sa, &oldTerm_);
    sigaction(SIGINT, &sa, &oldInt_);
  }
  ~StopSignals() {
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGINT, &oldInt_, nullptr);
    gHosting.store(false);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Takes the waiting stop request, if any, and empties the pipe.
  bool takeRequest() {
    char buf[64];
    while (::read(gWakeRead.load(), buf, sizeof buf) > 0) {
    }
    return gStopRequested.exchange(false);
  }

  bool waitForRequest(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!gStopRequested.load()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{gWakeRead.load(), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    }
    return gStopRequested.load();
  }

 private:
  struct sigaction oldTerm_ {};
  struct sigaction oldInt_ {};
};

// ---- the running service --------------------------------------------------------------------

class HostContext : public ServiceContext {
 public:
  HostContext(ServiceModule& module, StopSignals& signals) : module_(module), signals_(signals) {}

  bool terminated() const override { return terminated_; }

  void processRequests() override {
    if (!signals_.takeRequest() || terminated_) return;
    notifySystemd("STOPPING=1");
    if (!module_.hasStopHandler()) {
      terminated_ = true;
      return;
    }
    try {
      terminated_ = module_.stop();
    } catch (const std::exception& e) {
      // The process must still end: a service that cannot stop cleanly is ended as failed.
      std::cerr << "Service failed on stop: " << e.what() << std::endl;
      terminated_ = failed_ = true;
      return;
    }
    if (!terminated_) notifySystemd("READY=1");  // the module refused; it runs on
  }

  bool waitForRequest(std::chrono::milliseconds timeout) override { return signals_.waitForRequest(timeout); }

  bool failed() const { return failed_; }

 private:
  ServiceModule& module_;
  StopSignals& signals_;
  bool terminated_ = false;
  bool failed_ = false;
};

int runInForeground(ServiceModule& module) {
  StopSignals signals;  // before start(): a stop that arrives while starting is not lost
  try {
    if (!module.start()) {
      std::cerr << "Service failed on start: the service did not start" << std::endl;
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "Service failed on start: " << e.what() << std::endl;
    return 1;
  }
  notifySystemd("READY=1");
  HostContext ctx(module, signals);
  try {
    module.execute(ctx);
  } catch (const std::exception& e) {
    std::cerr << "Service failed on execute: " << e.what() << std::endl;
    return 1;
  } catch (...) {
    std::cerr << "Service failed on execute: unknown exception" << std::endl;
    return 1;
  }
  return ctx.failed() ? 1 : 0;
}

}  // namespace

std::string serviceUnitText(const ServiceRegistration& reg, const std::string& program) {
  int hintMs = reg.waitHintMs > 0 ? reg.waitHintMs : 5000;
  return "[Unit]\n"
         "Description=" +
         unitValue(reg.displayName) +
         "\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         execArgument(program) +
         "\n"
         "Restart=on-failure\n"
         "TimeoutStartSec=" +
         std::to_string(hintMs) + "ms\n" +
         (reg.stopTimeoutMs > 0 ? "TimeoutStopSec=" + std::to_string(reg.stopTimeoutMs) + "ms\n" : "") +
         "User=root\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

void requestServiceStop() {
  if (!gHosting.load()) return;
  int saved = errno;
  gStopRequested.store(true);
  char c = 1;
  ssize_t n = ::write(gWakeWrite.load(), &c, 1);  // a full pipe already holds a wake-up
  (void)n;
  errno = saved;
}

std::string serviceUsage(const std::string& program) {
  return "Usage: " + program +
         " [/INSTALL | /UNINSTALL] [/SILENT]\n"
         "\n"
         "Without a switch the program runs as its service, in the foreground, until SIGTERM or SIGINT\n"
         "stops it; systemd starts it so. Switches begin with \"/\", \"-\" or \"--\", in any letter case:\n"
         "  /INSTALL    write the service's systemd unit and enable it\n"
         "  /UNINSTALL  stop and disable the service and remove its unit\n"
         "  /SILENT     with /INSTALL or /UNINSTALL: print nothing on success\n"
         "  /HELP       print this text\n";
}

namespace detail {

int installService(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  return install(module, reg, silent);
}

int uninstallService(ServiceModule& module, const ServiceRegistration& reg, bool silent) {
  return uninstall(module, reg, silent);
}

int runService(ServiceModule& module) { return runInForeground(module); }

}  // namespace detail

}  // namespace kn
