// One piece of the agent's work, done for the main loop (TITAuditMain) on its thread: the check-in
// record and its sending, the mini-audit record, and a full audit into a file. A worker lives for
// one piece of work. It catches nothing except inside the mini-audit: a failing check-in or audit
// reaches the main loop, which logs it and reschedules.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "KNLib.h"

namespace kn {

class TExt_ITAgent;

class TITAuditWorker {
 public:
  // `svc` is borrowed and must outlive the worker. The file name is kept for the audit engine's
  // sake; the worker itself does not use it.
  TITAuditWorker(std::string aTempPath, TExt_ITAgent& svc);

  // Fills the check-in record: "pcname" (computer name) and "pcdomain" (account domain). A domain
  // that cannot be read throws.
  void BeginCommand();
  // Sends the check-in record with putCommand and logs "response: " and the answer as compact
  // ASCII JSON. A failing call throws before anything is logged.
  void Send();
  const nlohmann::json& request() const { return req; }

  // The mini-audit record: "ips" (local addresses, comma-separated), "lastboot" (now minus the
  // clock's uptime, "yyyy-mm-dd hh:nn:ss") and, when either step failed, "errors": for each failed
  // step a CR, "Erro, localIp: " or "Erro, uptime: ", and the message. Never throws for them.
  using AddressLister = std::function<std::vector<std::string>()>;
  static nlohmann::json miniAudit();
  static nlohmann::json miniAudit(const AddressLister& addresses);

  // Runs the audit engine (TWMIAuditor) in the audit child process (AuditSupervisor.h), which
  // writes the audit document to `outfn` whole or not at all. Any failure of the child (its error,
  // a crash, the time limit, a stop of the service) propagates as an exception.
  void runAudit(const std::string& outfn);

  // "yyyy-mm-dd hh:nn:ss" of a local date-time.
  static std::string lastBootText(TDateTime t);

 private:
  std::string tempPath;
  TExt_ITAgent& svc;
  nlohmann::json req = nlohmann::json::object();
};

}  // namespace kn
