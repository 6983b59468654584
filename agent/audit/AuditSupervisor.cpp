// The supervised audit: what the agent starts and what it makes of the child's end; see
// AuditSupervisor.h. Starting and waiting are the system's half (AuditProcess.h).
#include "AuditSupervisor.h"

#include <string>

#include "AuditProcess.h"
#include "KNEnv.h"
#include "knLOG2.h"

namespace kn {
namespace {

std::string durationText(std::chrono::milliseconds d) {
  if (d.count() % 60000 == 0) return std::to_string(d.count() / 60000) + " minutes";
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " seconds";
  return std::to_string(d.count()) + " ms";
}

std::string& childProgram() {
  static std::string* program = new std::string;  // never destroyed: usable until the process ends
  return *program;
}

}  // namespace

void setAuditChildProgram(std::string path) { childProgram() = std::move(path); }

SupervisedAuditStats runSupervisedAudit(const std::string& outfn, const SupervisedAuditOptions& options) {
  std::vector<std::string> command = options.command;
  std::string program = childProgram().empty() ? auditprocess::ownImage() : childProgram();
  if (command.empty()) {
    command = {childProgram().empty() ? exePath() : childProgram(), kAuditChildSwitch, outfn};
    if (!options.extendedInventory) command.push_back(kAuditChildBasicSwitch);
  } else {
    program = command.front();
  }
  const std::chrono::milliseconds limit =
      options.timeLimit.count() > 0 ? options.timeLimit : std::chrono::milliseconds(kAuditTimeLimit);

  using How = auditprocess::ChildEnd::How;
  const auditprocess::ChildEnd end = auditprocess::runChild(program, command, limit);
  switch (end.how) {
    case How::TimedOut:
      throw EAuditProcess("Fail: the audit ran longer than its time limit of " + durationText(limit) +
                          " and was stopped");
    case How::Cancelled:
      throw EAuditProcess("Fail: the audit was stopped: the service is stopping");
    case How::Signalled:
      throw EAuditProcess("Fail: the audit process ended by signal " + auditprocess::signalText(end.code) +
                          (end.output.empty() ? std::string() : ": " + end.output));
    case How::Exited:
      break;
  }
  if (end.code == 0) {
    // The audit's notices (a class cut at its bound), one line each.
    const std::string& output = end.output;
    for (size_t start = 0; start < output.size();) {
      const size_t stop = std::min(output.find('\n', start), output.size());
      if (stop > start) logMsg("Audit: " + logSafe(output.substr(start, stop - start)));
      start = stop + 1;
    }
    return end.stats;
  }
  if (end.output.empty())
    throw EAuditProcess("Fail: the audit process ended with exit code " + std::to_string(end.code));
  throw EAuditProcess(end.output);
}

}  // namespace kn
