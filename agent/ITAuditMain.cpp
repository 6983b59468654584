#include "ITAuditMain.h"

#include "AuditSupervisor.h"

#include <pthread.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "ITAuditWorker.h"
#include "KNClock.h"
#include "KNConfig.h"
#include "KNDateMath.h"
#include "KNEnv.h"
#include "KNException.h"
#include "KNJsonParse.h"
#include "KNMemory.h"
#include "KNSysInfo.h"
#include "ext.ITAgent.h"
#include "knAppData.h"
#include "knLOG2.h"
#include "serviceAppGlobals.h"
#include "KNPath.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

const char* const kLogName = "TITAuditMain";
const char* const kNextAuditEntry = "audit\\nextv6";

constexpr std::chrono::milliseconds kTick = 500ms;
// The longest sleep between passes: a machine that resumes from suspend is served within it.
constexpr int kMaxIdleTicks = 120;
constexpr std::chrono::milliseconds kCheckinPeriod = 9min;
constexpr std::chrono::milliseconds kMissingKeyPeriod = 90min;
constexpr std::chrono::milliseconds kRetryDelay = 30s;
constexpr std::chrono::milliseconds kMiniAuditPeriod = 15min;
constexpr std::chrono::milliseconds kMiniAuditRetry = 5min;
constexpr std::chrono::milliseconds kFirstUpload = 5s;
constexpr std::chrono::milliseconds kUploadPeriod = 11min;
constexpr std::chrono::milliseconds kFirstAuditCheck = 8min;
constexpr std::chrono::milliseconds kAuditCheckPeriod = 10min;
constexpr std::chrono::milliseconds kAuditPeriod = 12h;
// A stored next-audit time never lies further ahead than one audit period (plus a daylight-saving
// change); one that does was written under a wrong clock and would otherwise hold back every
// audit until that date.
constexpr std::chrono::milliseconds kClockSlack = 2h;

void log(const std::string& msg) { logTo(kLogName, msg); }

// Exception messages may carry a server's or a file's text: escaped before they enter a line, once.
std::string describe(const std::exception& e) { return exceptionClassName(e) + ": " + logSafeMessage(e); }

// Characters of UTF-8 text (every byte that does not continue a character).
size_t characterCount(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(fsPath(path), ec);
}

// Statuses that refuse the document itself (malformed, too large, a URI too long, a type or content
// the platform does not take): sending the same bytes again can only be refused again. Every other
// failure (the transport, 408, 429, 5xx, ...) may pass at a later try.
bool isPermanentRefusal(long status) {
  return status == 400 || status == 413 || status == 414 || status == 415 || status == 422;
}

// Whether the pending text is a failure record as this loop writes them (an object whose "success"
// is false); only a text small enough to be one is read.
bool isFailureRecord(const std::string& text) {
  constexpr size_t kMaxRecord = 64 * 1024;
  if (text.size() > kMaxRecord) return false;
  JsonParseResult r = parseJsonBounded(text, {.maxDepth = 2, .maxCost = 16 * kMaxRecord});
  if (r.outcome != JsonParseOutcome::Ok || !r.value.is_object()) return false;
  auto success = r.value.find("success");
  return success != r.value.end() && *success == false;
}

void defaultRunAudit(const std::string& outfn, TExt_ITAgent& svc) {
  TITAuditWorker worker(outfn, svc);
  worker.runAudit(outfn);
}

}  // namespace

TITAuditMain::TITAuditMain() : TITAuditMain(Options{}) {}

TITAuditMain::TITAuditMain(Options options) : options_(std::move(options)) {
  if (!options_.hasAPIKey) options_.hasAPIKey = [] { return kn::hasAPIKey(); };
  if (!options_.runAudit) options_.runAudit = defaultRunAudit;

  log("Creating...");
  cf = std::make_unique<TKNConfig>(exeName());
  cf->LoadData();
  nextCheckin = steadyNow();
  if (!appData()) throw Exception("The application data folder is not set");
  FtempFN = appData()->appFolder + "latest_audit.json";
  svc = std::make_unique<TExt_ITAgent>();
  log("Instance created");
}

TITAuditMain::~TITAuditMain() {
  Terminate();
  try {
    WaitFor();
  } catch (const std::exception& e) {
    // Joining failed, so the loop may still run: it keeps what it uses rather than have it freed
    // under it, and the stop completes.
    log("Destroy: could not wait for the loop: " + describe(e));
    if (thread_.joinable()) thread_.detach();
    (void)svc.release();
    (void)cf.release();
    return;
  }
  svc.reset();
  cf.reset();
}

void TITAuditMain::Terminate() noexcept {
  terminated_ = true;
  try {
    wake_.interrupt();
  } catch (const std::exception&) {
    // The sleep then ends at its next tick, where the flag is seen.
  }
  cancelRunningAudit();  // a full audit in progress is killed rather than waited for
}

bool TITAuditMain::abandonedByStop(const std::string& activity) {
  if (!terminated_) return false;
  log(activity + " abandoned: the service is stopping");
  return true;
}

void TITAuditMain::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TITAuditMain::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

TITAuditMain::ms TITAuditMain::steadyNow() const { return appClock().steady(); }

TDateTime TITAuditMain::dt_nextAudit() {
  std::string text = cf->Get(kNextAuditEntry);
  try {
    return textToDateTime(text);
  } catch (const std::exception&) {
    log("Error decoding dtNextAudit [" + logSafe(text) + "]");
    return appClock().now() - 1;
  }
}

void TITAuditMain::setDt_nextAudit(TDateTime value) {
  std::string text = dateTimeToText(value);
  log("Setting next audit to: " + text);
  if (text == cf->Get(kNextAuditEntry)) return;
  cf->Put(kNextAuditEntry, text);
  cf->SaveData();
}

void TITAuditMain::Execute() {
  try {
    log("Execute starting...");
    checkinPeriod = scaled(kCheckinPeriod);
    retryDelay = scaled(kRetryDelay);
    ms start = steadyNow();
    nextAuditCheck = start + scaled(kFirstAuditCheck);
    nextUpload = start + scaled(kFirstUpload);
    nextMiniAudit = ms::min();
    pthread_setname_np(pthread_self(), "ITAuditMain");
    log("Running");
    while (!terminated_) {
      bool withKey = options_.hasAPIKey();
      appClock().sleepFor(sleepTime(withKey), &wake_);
      if (terminated_) break;
      if (withKey) {
        workingPass();
      } else {
        missingKeyPass();
      }
    }
  } catch (const std::exception& e) {
    // Every activity catches its own failures; this is the loop's own last line of defence.
    log("Execute failed: " + describe(e));
  }
  log("Execute terminated");
}

TITAuditMain::ms TITAuditMain::sleepTime(bool withKey) {
  ms earliest = nextCheckin;
  if (withKey) {
    earliest = std::min({earliest, nextMiniAudit, nextAuditCheck});
    if (fileExists(FtempFN)) earliest = std::min(earliest, nextUpload);
  }
  ms now = steadyNow();
  if (earliest < now) return kTick;
  return kTick * std::min<long long>((earliest - now) / kTick + 1, kMaxIdleTicks);
}

// A stop request is seen between activities: the pass ends after the one in progress, so a stop
// never waits for a full audit or a remote call begun after it was requested.
void TITAuditMain::workingPass() {
  if (steadyNow() > nextMiniAudit) miniAuditStep();
  if (terminated_) return;
  if (steadyNow() > nextUpload && fileExists(FtempFN)) sendAuditJson();
  if (terminated_) return;
  if (steadyNow() > nextAuditCheck) auditCheck();
  if (terminated_) return;
  if (steadyNow() > nextCheckin) runCmd("checkin");
}

void TITAuditMain::missingKeyPass() {
  if (steadyNow() <= nextCheckin) return;
  try {
    svc->notifyMissingAPIKEY(exeName(), "pcn:" + computerName() + " dom:" + accountDomainName());
    nextCheckin = steadyNow() + scaled(kMissingKeyPeriod);
  } catch (const std::exception& e) {
    if (abandonedByStop("noapikey notification")) return;
    log("noapikey notification error: " + describe(e));
    nextCheckin = steadyNow() + retryDelay;
  }
}

void TITAuditMain::miniAuditStep() {
  try {
    svc->putMiniAudit(TITAuditWorker::miniAudit());
    nextMiniAudit = steadyNow() + scaled(kMiniAuditPeriod);
  } catch (const std::exception& e) {
    if (abandonedByStop("miniaudit")) return;
    log("miniauditError error: " + describe(e));
    nextMiniAudit = steadyNow() + scaled(kMiniAuditRetry);
  }
}

void TITAuditMain::sendAuditJson() {
  size_t bytes = 0;
  bool failureRecord = false;
  try {
    std::string text = readTextFile(FtempFN);
    bytes = text.size();
    failureRecord = isFailureRecord(text);
    log("Sending audit json (" + std::to_string(characterCount(text)) + " bytes)...");
    svc->putAudit(0, std::move(text));
    log("Sending audit json OK");
    // The platform has the document: a file that will not go away is not sent again before the
    // next upload period.
    removePending();
    nextUpload = steadyNow() + scaled(kUploadPeriod);
  } catch (const std::exception& e) {
    if (abandonedByStop("Sending audit json")) return;
    auto* refusal = dynamic_cast<const EExtCommunicationError*>(&e);
    if (refusal && isPermanentRefusal(refusal->status())) {
      refusedUpload(*refusal, bytes, failureRecord);
    } else {
      nextUpload = steadyNow() + retryDelay;
      log(std::string("Error; could not send audit: ") + logSafeMessage(e));
    }
  }
  // The document and the request made of it are freed by now; their pages go back to the system
  // instead of staying in the allocator's arenas until the next audit, twelve hours away.
  releaseFreeMemory();
}

// The platform will never take what it refused for its content or size: the document goes and the
// failure record naming the refusal takes its place, sent at the next pass. A failure record that
// is refused has nothing smaller to say: it goes too.
void TITAuditMain::refusedUpload(const EExtCommunicationError& e, size_t bytes, bool failureRecord) {
  removePending();
  if (failureRecord) {
    log("Audit failure record refused, dropped: " + logSafeMessage(e));
    nextUpload = steadyNow() + scaled(kUploadPeriod);
    return;
  }
  // The channel's message is escaped already.
  std::string what = "The platform refused the audit document of " + std::to_string(bytes) +
                     " bytes with status " + std::to_string(e.status()) + ": " + e.what();
  log("Audit refused, not sent again: " + what);
  writeFailureRecord(what);
}

void TITAuditMain::removePending() {
  std::error_code ec;
  if (!std::filesystem::remove(fsPath(FtempFN), ec) && ec)
    log("Error; could not delete " + FtempFN + ": " + ec.message());
}

void TITAuditMain::auditCheck() {
  log("Checking for audit");
  try {
    try {
      dt_nextAudit();
    } catch (const std::exception& e) {
      log(std::string("dt_nextAudit property error: ") + logSafeMessage(e));
    }
    TDateTime now = appClock().now();
    TDateTime next = dt_nextAudit();
    bool overdue = now > next;
    if (!overdue && next - now > toDays(scaled(kAuditPeriod) + kClockSlack)) {
      log("Next audit " + dateTimeToText(next) + " lies beyond one audit period; auditing now");
      overdue = true;
    }
    if (overdue) {
      log("Running audit");
      RunAudit();
    }
  } catch (const std::exception& e) {
    log(std::string("dt_nextAudit property error: ") + logSafeMessage(e));
  }
  nextAuditCheck = steadyNow() + scaled(kAuditCheckPeriod);
}

void TITAuditMain::RunAudit() {
  try {
    log("RunAudit starting, saving to " + FtempFN);
    options_.runAudit(FtempFN, *svc);
    log("RunAudit finished (OK)");
  } catch (const std::exception& e) {
    if (abandonedByStop("RunAudit")) return;
    log(std::string("runAudit failed: ") + logSafeMessage(e));
    // A document still waiting for upload is worth more than the news of this failure.
    if (!fileExists(FtempFN)) writeFailureRecord(e.what());
    return;
  }
  setDt_nextAudit(appClock().now() + toDays(scaled(kAuditPeriod)));
}

void TITAuditMain::writeFailureRecord(const std::string& message) {
  try {
    nlohmann::ordered_json record;
    record["dt_execute"] = dateTimeToText(appClock().now());
    record["success"] = false;
    record["error"] = message;
    writeFileWhole(os(), FtempFN, record.dump(2, ' ', true, nlohmann::json::error_handler_t::replace) + "\n");
  } catch (const std::exception& e) {
    log(std::string("Error; could not write the audit failure record: ") + logSafeMessage(e));
  }
}

void TITAuditMain::runCmd(const std::string& command) {
  log("runCmd(" + command + ")...");
  try {
    TITAuditWorker worker(FtempFN, *svc);
    if (command != "checkin") throw Exception("Unknown tipo runCmd[" + command + "]");
    worker.BeginCommand();
    worker.Send();
    log("runCmd(" + command + ") OK");
    nextCheckin = steadyNow() + checkinPeriod;
  } catch (const std::exception& e) {
    if (abandonedByStop("runCmd(" + command + ")")) return;
    log("checkin error: " + describe(e));
    nextCheckin = steadyNow() + retryDelay;
  }
}

}  // namespace kn
