// The audit child on Linux (AuditChild.h): the child switch read from /proc/self/cmdline, and the
// limits the child puts on itself.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "AuditChild.h"
#include "AuditSupervisor.h"

namespace kn {
namespace {

constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;
constexpr int kAuditNice = 10;

}  // namespace

void limitAuditChild() {
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

std::vector<std::string> auditChildArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

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

}  // namespace kn
