// The audit child: the program started again by the agent to run one full audit (AuditSupervisor.h).
//
// The child reads no settings of the agent (no endpoint.ini, no API key, no registry), writes no log
// and starts no service: it lowers its own priority, limits its address space, runs the audit engine
// for the file named on its command line and ends. Exit code 0 when the document was written, with
// the audit's notices on standard output (one line each, for the agent's log); 1 with the error's
// message on standard output otherwise; 2 for a malformed command line.
#pragma once

namespace kn {

// True when this process was started as the audit child (its first argument is the child switch).
// Looks at the system's record of the command line once (/proc/self/cmdline on Linux), so static
// initialisation may ask it before main runs.
bool isAuditChildProcess();

// The child's whole life; main returns its result when isAuditChildProcess().
int auditChildMain(int argc, char** argv);

// The system's half (AuditChildLinux.cpp), called by auditChildMain before the audit: lowers the
// process's priority (nice 10, idle I/O), limits its address space (kAuditAddressSpaceLimit), makes it
// die with the agent, closes every descriptor it inherited but the standard ones and sets the memory
// allocator up for one audit. A failure to lower or limit is no reason not to audit; a child whose
// agent is already gone ends here (exit code 1).
void limitAuditChild();

}  // namespace kn
