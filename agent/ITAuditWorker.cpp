#include "ITAuditWorker.h"

#include "InventoryPolicy.h"
#include "AuditSupervisor.h"
#include "KNClock.h"
#include "KNException.h"
#include "KNSysInfo.h"
#include "LocalAddresses.h"
#include "ext.ITAgent.h"
#include "ext.jsontext.h"
#include "knLOG2.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

const char* const kLogName = "TITAuditWorker";

std::string join(const std::vector<std::string>& items, const char* sep) {
  std::string out;
  for (const std::string& s : items) {
    if (!out.empty()) out += sep;
    out += s;
  }
  return out;
}

void appendError(nlohmann::json& record, const char* prefix, const std::exception& e) {
  std::string text = record.value("errors", std::string());
  record["errors"] = text + "\r" + prefix + e.what();
}

}  // namespace

TITAuditWorker::TITAuditWorker(std::string aTempPath, TExt_ITAgent& svc)
    : tempPath(std::move(aTempPath)), svc(svc) {}

void TITAuditWorker::BeginCommand() {
  req["pcname"] = computerName();
  req["pcdomain"] = accountDomainName();
}

void TITAuditWorker::Send() {
  nlohmann::json result = svc.putCommand(req);
  logTo(kLogName, "response: " + jsonLogText(result));
}

std::string TITAuditWorker::lastBootText(TDateTime t) {
  DateTimeParts p = decodeDateTimeParts(t);
  return zeroPad(p.year, 4) + "-" + zeroPad(p.month, 2) + "-" + zeroPad(p.day, 2) + " " + zeroPad(p.hour, 2) +
         ":" + zeroPad(p.minute, 2) + ":" + zeroPad(p.second, 2);
}

nlohmann::json TITAuditWorker::miniAudit() { return miniAudit(localIPAddresses); }

nlohmann::json TITAuditWorker::miniAudit(const AddressLister& addresses) {
  nlohmann::json record = nlohmann::json::object();
  try {
    record["ips"] = join(addresses(), ",");
  } catch (const std::exception& e) {
    appendError(record, "Erro, localIp: ", e);
  }
  try {
    Clock& clock = appClock();
    std::chrono::milliseconds up = clock.uptime();
    record["lastboot"] = lastBootText(clock.now() - toDays(up));
  } catch (const std::exception& e) {
    appendError(record, "Erro, uptime: ", e);
  }
  return record;
}

void TITAuditWorker::runAudit(const std::string& outfn) {
  SupervisedAuditOptions options;
  options.extendedInventory = extendedInventoryPolicy(appName());
  runSupervisedAudit(outfn, options);
}

}  // namespace kn
