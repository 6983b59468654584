// The audit child: the program started again by the agent to run one full audit (AuditSupervisor.h).
//
// The child reads no settings of the agent (no endpoint.ini, no API key, no registry), writes no log
// and starts no service: it lowers its own priority, limits its address space, runs the audit engine
// for the file named on its command line and ends. Exit code 0 when the document was written, with
// the audit's notices on standard output (one line each, for the agent's log); 1 with the error's
// message on standard output otherwise; 2 for a malformed command line.
#pragma once

#include <string>
#include <vector>

namespace kn {

// True when this process was started as the audit child (its first argument is the child switch).
// Looks at the system's record of the command line once (/proc/self/cmdline on Linux), so static
// initialisation may ask it before main runs.
bool isAuditChildProcess();

// The child's whole life; main returns its result when isAuditChildProcess().
int auditChildMain(int argc, char** argv);

// The child's command line in UTF-8, the program first: main's own `argv` on Linux; on Windows, where
// main's `argv` is in the 8-bit code page, the wide command line read back (CommandLineToArgvW).
std::vector<std::string> auditChildArguments(int argc, char** argv);

// The system's half (AuditChildLinux.cpp, AuditChildWin.cpp), called by auditChildMain before the
// audit. On Linux: lowers the process's priority (nice 10, idle I/O), limits its address space
// (kAuditAddressSpaceLimit), makes it die with the agent, closes every descriptor it inherited but the
// standard ones and sets the memory allocator up for one audit. On Windows the supervisor has already
// started it below normal priority in a job that bounds its memory and ends it with the agent; here
// it enters background mode (low I/O and memory priority), keeps a crash from showing a dialog, and
// initialises COM for the main thread (a single-threaded apartment, where the script control runs)
// with the process's COM security for WMI. A failure to lower or limit is no reason not to audit; a
// child whose agent is already gone ends here (exit code 1).
void limitAuditChild();

}  // namespace kn
