// The reference server's memory: one SQLite file holding every call received, the machines that
// have called in and their latest audit documents. The file survives restarts; opening it
// creates the tables when they are missing.
//
// Tables (see PlatformStore.cpp for the exact statements):
//   calls     one row per remote call or update request, refused ones included: machine, api,
//             method, time, arguments (compact JSON, cut to kMaxStoredArgs bytes) and outcome
//   machines  one row per machine identifier: identity from "x-serviceapp", first and last call,
//             last check-in, last mini-audit, last missing-key notice
//   audits    the latest kAuditsKept audit documents of each machine, whole
//
// Thread safety: every operation may be called from any thread; one connection is shared under
// a lock. Failures throw StoreError.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KNException.h"

struct sqlite3;

namespace kn::platform {

KN_DECLARE_EXCEPTION(StoreError, Exception);

// Stored argument texts longer than this are cut; the row says so.
inline constexpr std::size_t kMaxStoredArgs = 4096;
// Audit documents kept per machine; older ones are dropped when a new one arrives.
inline constexpr int kAuditsKept = 3;

struct CallRecord {
  std::int64_t id = 0;
  std::string machineId;  // empty when the caller did not identify itself
  std::string api;        // "ITAgent", "update"
  std::string method;
  std::string receivedAt;  // UTC, "2024-01-15T10:20:30Z"
  std::string args;        // compact JSON, at most kMaxStoredArgs bytes
  bool argsTruncated = false;
  std::string outcome;  // "ok", or the message of the exception reply
};

// What the "x-serviceapp" header says about the caller.
struct Identity {
  std::string id, svc, pcn, av;
  bool hasKey = false;
};

struct MachineRecord {
  std::string machineId;
  Identity identity;
  std::string firstSeen, lastSeen;
  std::string lastCheckin, lastCheckinData;        // time and compact JSON of the putCommand request
  std::string lastMiniAudit, lastMiniAuditData;    // time and compact JSON of the mini-audit
  std::string lastMissingKey, lastMissingKeyData;  // time and compact JSON of the notice's arguments
  std::string lastAudit;                           // time of the latest accepted audit, or empty
  std::int64_t callCount = 0;
};

struct AuditRecord {
  std::int64_t id = 0;
  std::string machineId, receivedAt;
  bool success = false;  // the document's own "success" member
  std::string document;  // the text exactly as uploaded
};

// The effect of one accepted call on its machine's row; members left empty change nothing.
struct MachineUpdate {
  Identity identity;
  std::optional<std::string> checkin;     // compact JSON of the check-in request
  std::optional<std::string> miniAudit;   // compact JSON of the mini-audit
  std::optional<std::string> missingKey;  // compact JSON of the notice's arguments
  std::optional<std::string> audit;       // the document text
  bool auditSuccess = false;
};

class PlatformStore {
 public:
  // Opens or creates the file at `path`.
  explicit PlatformStore(const std::string& path);
  ~PlatformStore();
  PlatformStore(const PlatformStore&) = delete;
  PlatformStore& operator=(const PlatformStore&) = delete;

  // Stores `call` (its id and, when empty, its time are filled in) and, when `update` is given,
  // applies it to the machine's row, all in one transaction. `args` longer than kMaxStoredArgs
  // are cut here. Returns the call's id.
  std::int64_t recordCall(CallRecord call, const MachineUpdate* update = nullptr);

  std::vector<MachineRecord> machines();
  std::optional<MachineRecord> machine(const std::string& machineId);
  // Newest first; empty filters match everything; `limit` caps the rows.
  std::vector<CallRecord> calls(const std::string& machineId, const std::string& method, int limit);
  std::optional<AuditRecord> latestAudit(const std::string& machineId);

 private:
  std::mutex lock_;
  sqlite3* db_ = nullptr;
};

// The current UTC time as "2024-01-15T10:20:30Z".
std::string utcNow();

}  // namespace kn::platform
