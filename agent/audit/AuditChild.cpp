#include "AuditChild.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "AuditSupervisor.h"
#include "WMIAuditor.h"

namespace kn {
namespace {

// The child's one channel to the agent: its standard output, written at once.
void writeOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int auditChildMain(int argc, char** argv) {
  const std::vector<std::string> args = auditChildArguments(argc, argv);
  const bool basic = args.size() == 4 && args[3] == kAuditChildBasicSwitch;
  if ((args.size() != 3 && !basic) || args[1] != kAuditChildSwitch || args[2].empty()) {
    writeOut("usage: " + (args.empty() ? std::string("auditagent") : args[0]) + " " + kAuditChildSwitch +
             " <audit file> [" + kAuditChildBasicSwitch + "]\n");
    return 2;
  }
  limitAuditChild();
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
    TWMIAuditor auditor(args[2], std::move(options));
    auditor.execute();
    auditor.saveToFile();
  } catch (const std::exception& e) {
    writeOut(e.what());
    return 1;
  } catch (...) {
    writeOut("Fail: unknown error in the audit process");
    return 1;
  }
  writeOut(notices);
  return 0;
}

}  // namespace kn
