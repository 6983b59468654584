// The agent's one working thread: every 500 ms it looks at its due times and runs, inline, what
// has fallen due: the mini-audit, the upload of the pending audit file, the full audit, the
// check-in, or, on a machine without an API key, only the notice that the key is missing. Every
// activity catches its own failures and moves its own due time to a shorter retry delay, so one
// failing activity never stops the others or the loop.
//
//   activity          first                         then             after a failure
//   mini-audit        first pass                    every 15 min     5 min
//   check-in          first pass                    every 9 min      30 s
//   upload            first pass after 5 s with     11 min after     30 s (the file stays); a
//                     a pending file                an upload        refusal for the document
//                                                                    itself (400, 413, 414, 415,
//                                                                    422): replaced by a failure
//                                                                    record, sent at the next pass
//   audit check       8 min                         every 10 min     -
//   full audit        at an audit check once the    12 h             next audit check; a failure
//                     stored next-audit time passed                  record is left to upload
//   missing-key note  first pass                    every 90 min     30 s
//
// Durations are divided by KN_TIME_SCALE; the 500 ms tick is not. An activity runs on the first
// tick that finds it due (strictly later than its due time). The loop does not wake for ticks
// that could find nothing due: it sleeps whole ticks up to the first one after the earliest due
// time (at most a minute), and Terminate() ends that sleep at once. Due times held in memory run on
// the clock seam's steady count, so a change of the wall clock neither freezes nor rushes them;
// the next-audit time is stored as local wall-clock text in the configuration store (entry
// "audit\nextv6" of the store named after the executable) and survives restarts together with
// the pending audit file "latest_audit.json" in the application data folder.
//
// Lifecycle: constructed "suspended" (nothing runs), Start() runs the loop on its own thread,
// Terminate() asks it to stop after the activity in progress, the destructor asks, waits for the
// loop to end, then releases the remote service and the configuration store. Start, Terminate
// and the destructor may be called from another thread; everything else runs on the loop's.
//
// Stopping: the service abandons the remote exchange in progress once it has called Terminate()
// (the channel's process-wide stop flag). An activity that fails after Terminate() was called
// failed because of the stop: the loop logs "<activity> abandoned: the service is stopping" and
// leaves everything as it was (no retry delay, no failure record, the pending file kept).
//
// The destructor never throws: a failure while ending the loop is logged and swallowed there,
// so a stop always completes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "AuditSupervisor.h"
#include "KNClock.h"
#include "KNLib.h"

namespace kn {

class EExtCommunicationError;
class TExt_ITAgent;
class TKNConfig;

class TITAuditMain {
 public:
  // What the loop takes from the rest of the agent; tests replace parts of it.
  struct Options {
    // Read on every pass to choose between the working pass and the missing-key pass.
    std::function<bool()> hasAPIKey;
    // Runs a full audit writing the document to the file; throws on failure.
    std::function<void(const std::string& outfn, TExt_ITAgent& svc)> runAudit;
  };

  // Loads the configuration store and creates the remote service on a copy of the process-wide
  // channel. Throws when either fails or the application data folder is not set.
  TITAuditMain();
  explicit TITAuditMain(Options options);
  ~TITAuditMain();  // noexcept: see "The destructor never throws" above
  TITAuditMain(const TITAuditMain&) = delete;
  TITAuditMain& operator=(const TITAuditMain&) = delete;

  // Starts the loop; a second call does nothing.
  void Start();
  void Terminate() noexcept;
  // Waits until the loop has ended (after Terminate, or from a test that ends it another way).
  void WaitFor();
  bool Terminated() const { return terminated_; }

  const std::string& tempFN() const { return FtempFN; }
  void setTempFN(std::string value) { FtempFN = std::move(value); }

  // The stored next-audit time; a missing or unreadable value logs "Error decoding dtNextAudit [...]"
  // and reads as now minus one day.
  TDateTime dt_nextAudit();
  // Stores the next-audit time; the store is saved only when the text changes.
  void setDt_nextAudit(TDateTime value);

 private:
  using ms = std::chrono::milliseconds;

  void Execute();
  void workingPass();
  void missingKeyPass();
  void miniAuditStep();
  void sendAuditJson();
  void refusedUpload(const EExtCommunicationError& e, size_t bytes, bool failureRecord);
  // Deletes the pending audit file; a failure is logged.
  void removePending();
  void auditCheck();
  void RunAudit();
  void writeFailureRecord(const std::string& message);
  void runCmd(const std::string& command);
  ms steadyNow() const;
  // True, after logging it, when a failure of `activity` came with a stop requested.
  bool abandonedByStop(const std::string& activity);
  // How long to sleep: whole ticks, up to the first tick after the earliest due time.
  ms sleepTime(bool withKey);

  Options options_;
  std::unique_ptr<TKNConfig> cf;
  std::unique_ptr<TExt_ITAgent> svc;
  std::string FtempFN;
  std::atomic<bool> terminated_{false};
  SleepInterrupt wake_;

  // The schedule, on the clock's steady count.
  ms nextCheckin{};
  ms nextMiniAudit{};
  ms nextUpload{};
  ms nextAuditCheck{};
  ms checkinPeriod{};
  ms retryDelay{};

  std::thread thread_;
};

}  // namespace kn
