// The full audit in a process of its own, supervised by the agent.
//
// The audit reads thousands of files of the machine, runs a script and builds a document of a
// megabyte or more; inside the agent a stuck read would freeze the agent's one working thread and
// the audit's memory would stay with the agent for hours. So the agent starts itself again as the
// audit child (the program's own image, /proc/self/exe, with kAuditChildSwitch; posix_spawn, never
// fork of the threaded process), and only waits:
//
//   - the child runs at nice 10 with idle I/O priority and an address-space limit
//     (kAuditAddressSpaceLimit), writes the audit document whole or not at all and exits 0; the
//     lines it wrote then (the audit's notices) go to the main log, each as "Audit: " + the line;
//   - on failure the child writes its error message to its standard output and exits 1; that
//     message becomes the audit's error, unchanged;
//   - the supervisor kills the child when the time limit passes, when cancelRunningAudit() is called
//     (the service stops) or when it dies by a signal; each case throws kn::Exception saying so.
//
// runSupervisedAudit blocks the calling thread for the whole run; cancelRunningAudit may be called
// from any thread, at any time, and affects only a run in progress.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "KNException.h"

namespace kn {

// The audit ran past its time limit, was stopped, or its process failed.
KN_DECLARE_EXCEPTION(EAuditProcess, Exception);

// The internal switch that makes the program the audit child: `<program> --kn-audit-child <outfn>`.
inline constexpr const char* kAuditChildSwitch = "--kn-audit-child";
// After the file: the audit leaves out the extended inventory.
inline constexpr const char* kAuditChildBasicSwitch = "--basic";
// The time an audit may take: the script's own limit of 30 minutes. KN_TIME_SCALE does not shorten
// it: it speeds up schedules, and an audit of a real machine cannot be sped up.
inline constexpr std::chrono::minutes kAuditTimeLimit{30};
// The child's address-space limit: the audit needs a few MB of heap; the rest is the program's
// mappings (shared libraries, Lua) with room for a machine with a very large package database.
inline constexpr std::uint64_t kAuditAddressSpaceLimit = std::uint64_t{1} << 30;

struct SupervisedAuditOptions {
  // The program and its arguments; empty means /proc/self/exe with kAuditChildSwitch and the file.
  // Tests run other programs through the same supervision.
  std::vector<std::string> command;
  // Zero means kAuditTimeLimit.
  std::chrono::milliseconds timeLimit{0};
  // False (the "ExtendedInventory" policy) makes the child leave out the classes after the first 30
  // and the software outside dpkg: it passes kAuditChildBasicSwitch after the file.
  bool extendedInventory = true;
};

// What the run cost, for benchmarks: the child's peak resident memory and its CPU time.
struct SupervisedAuditStats {
  std::uint64_t peakRssKb = 0;
  std::chrono::microseconds cpu{0};
};

// Runs the full audit into `outfn` in the audit child and waits for it. Returns when the child
// exited 0; throws EAuditProcess otherwise, with the child's own message when it wrote one.
SupervisedAuditStats runSupervisedAudit(const std::string& outfn, const SupervisedAuditOptions& options = {});

// The program started as the audit child when the options name none: "" (the default) is this
// program's own image, /proc/self/exe. A program that is not the agent (a test program) names the
// agent's path here before it runs an audit. Set it before any audit runs.
void setAuditChildProgram(std::string path);

// Kills the audit child of a run in progress at once; its run throws "the service is stopping".
// Does nothing when no audit runs. Safe from any thread.
void cancelRunningAudit();

}  // namespace kn
