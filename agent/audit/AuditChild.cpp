#include "AuditChild.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "AuditSupervisor.h"
#include "WMIAuditor.h"

namespace kn {
namespace {

constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;
constexpr int kAuditNice = 10;

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Lower priority and bounded memory; a failure to lower them is no reason not to audit.
void limitSelf() {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the audit never outlives the agent
  if (::getppid() == 1) ::_exit(1);    // the agent was already gone
  ::setpriority(PRIO_PROCESS, 0, kAuditNice);
  ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer reserves terabytes of shadow address space
  const rlimit limit{kAuditAddressSpaceLimit, kAuditAddressSpaceLimit};
  ::setrlimit(RLIMIT_AS, &limit);
#endif
  ::close_range(3, ~0U, 0);  // nothing of the agent's (sockets, hives, logs) stays open here
  // The audit takes and frees a few MB over and over (the script's blocks and strings, the sections'
  // texts). Kept by the process rather than handed back to the system and mapped afresh, the memory
  // is reused without a page fault each time; the child ends after one audit.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace

bool isAuditChildProcess() {
  static const bool child = [] {
    const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) return false;
    buffer[n] = '\0';
    const size_t first = std::strlen(buffer) + 1;  // past argv[0]
    return first < static_cast<size_t>(n) && std::strcmp(buffer + first, kAuditChildSwitch) == 0;
  }();
  return child;
}

int auditChildMain(int argc, char** argv) {
  const bool basic = argc == 4 && std::strcmp(argv[3], kAuditChildBasicSwitch) == 0;
  if ((argc != 3 && !basic) || std::strcmp(argv[1], kAuditChildSwitch) != 0 || argv[2][0] == '\0') {
    writeAll(1, std::string("usage: ") + (argc > 0 ? argv[0] : "auditagent") + " " + kAuditChildSwitch +
                    " <audit file> [" + kAuditChildBasicSwitch + "]\n");
    return 2;
  }
  limitSelf();
  // The engine's notices, written after a successful audit for the agent to log; a failed audit's
  // output is its error alone.
  std::mutex noticeLock;
  std::string notices;
  try {
    WMIAuditorOptions options;
    options.extendedInventory = !basic;
    options.notice = [&](const std::string& line) {
      std::lock_guard lock(noticeLock);
      notices += line + "\n";
    };
    TWMIAuditor auditor(argv[2], std::move(options));
    auditor.execute();
    auditor.saveToFile();
  } catch (const std::exception& e) {
    writeAll(1, e.what());
    return 1;
  } catch (...) {
    writeAll(1, "Fail: unknown error in the audit process");
    return 1;
  }
  writeAll(1, notices);
  return 0;
}

}  // namespace kn
