// The system's half of the supervised audit (AuditSupervisor.h): starting the audit child, waiting
// for it, and the cancel signal that reaches a wait from any thread. The Linux half is
// AuditSupervisorLinux.cpp (posix_spawn, a pidfd, an eventfd and the output pipe in one poll).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "AuditSupervisor.h"

namespace kn::auditprocess {

// How a child ended, as the system tells it.
struct ChildEnd {
  enum class How {
    Exited,     // `code` is its exit status
    Signalled,  // ended by the system's signal (or exception) `code`
    TimedOut,   // killed at the time limit
    Cancelled,  // killed by cancelRunningAudit()
  };
  How how = How::Exited;
  int code = 0;
  // Its standard output and error output, at most kMaxOutput bytes, line ends at its end removed.
  std::string output;
  SupervisedAuditStats stats;
};

// The most of a child's output kept: its error message, or a sanitizer's report.
inline constexpr size_t kMaxOutput = 64 * 1024;

// The program that starts this program's own image, even when its file has since been replaced
// ("/proc/self/exe" on Linux).
std::string ownImage();

// Starts `command` (argv[0] as the child sees it) from `program`, with no input and its output and
// error output kept, and waits for it: at most `limit`, and no longer than a cancel. A child past
// its limit or cancelled is killed before this returns. Throws EAuditProcess "Fail: ..." when the
// child cannot be started or waited for.
ChildEnd runChild(const std::string& program, const std::vector<std::string>& command,
                  std::chrono::milliseconds limit);

// The number and, where the system has one, the name of a signal: "11 (Segmentation fault)".
std::string signalText(int signal);

}  // namespace kn::auditprocess
