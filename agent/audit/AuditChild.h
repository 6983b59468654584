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
// Reads /proc/self/cmdline once, so static initialisation may ask it before main runs.
bool isAuditChildProcess();

// The child's whole life; main returns its result when isAuditChildProcess().
int auditChildMain(int argc, char** argv);

}  // namespace kn
