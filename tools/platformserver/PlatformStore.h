// The reference server's memory: one SQLite file holding the calls received, the machines that
// have called in and their latest audit documents. The file survives restarts; opening it
// creates the tables when they are missing.
//
// Tables (see PlatformStore.cpp for the exact statements):
//   calls        one row per call of a machine that sent an accepted key, or per update request:
//                machine, api, method, time, arguments (compact JSON, cut to kMaxStoredArgs
//                bytes) and outcome
//   machines     one row per machine identifier that has called with an accepted key: identity
//                from "x-serviceapp", first and last call, last check-in, last mini-audit
//   audits       the latest kAuditsKept audit documents of each machine, whole
//   key_notices  the latest missing-key notice per claimed identifier (keyless callers never touch
//                "machines"), at most kNoticesKept rows
//   refused      calls refused before they were read (no or wrong key, no identity), at most
//                kRefusedKept rows: a log of their own, never a machine's history
//
// Durability: the file is in WAL mode with synchronous=FULL, and every write returns only once its
// transaction is committed to disk. Concurrent writers are grouped: one of them commits the writes
// of all that are waiting in one transaction (one fsync), each in a savepoint of its own, so one
// failing write does not undo the others.
//
// Thread safety: every operation may be called from any thread. Writes go through one connection,
// reads through another (WAL lets them run side by side). Failures throw StoreError.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
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
// Rows kept in the missing-key notices and the refused-call log; the oldest go first.
inline constexpr int kNoticesKept = 10000;
inline constexpr int kRefusedKept = 10000;

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
  std::string lastMissingKey, lastMissingKeyData;  // latest notice under this identifier (key_notices)
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
  std::optional<std::string> checkin;    // compact JSON of the check-in request
  std::optional<std::string> miniAudit;  // compact JSON of the mini-audit
  std::optional<std::string> audit;      // the document text
  bool auditSuccess = false;
};

// A missing-key notice from a caller without a key: kept apart from the machines.
struct KeyNotice {
  Identity identity;  // as claimed; nothing of it is trusted
  std::string receivedAt;
  std::string data;  // compact JSON of the arguments
  std::int64_t count = 0;
};

// A call refused before its body was read.
struct RefusedCall {
  std::int64_t id = 0;
  std::string receivedAt;
  std::string remoteAddr;
  std::string machineId;  // as claimed, possibly empty
  std::string reason;
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
  // Keeps the latest notice per claimed identifier, counting them.
  void recordKeyNotice(KeyNotice notice);
  void recordRefusal(RefusedCall refusal);

  std::vector<MachineRecord> machines();
  std::optional<MachineRecord> machine(const std::string& machineId);
  // Newest first; empty filters match everything; `limit` caps the rows.
  std::vector<CallRecord> calls(const std::string& machineId, const std::string& method, int limit);
  std::optional<AuditRecord> latestAudit(const std::string& machineId);
  // Newest first.
  std::vector<KeyNotice> keyNotices(int limit);
  std::vector<RefusedCall> refusals(int limit);

 private:
  struct Pending;
  // Runs `work` inside the next group transaction; returns once it is committed (or throws its
  // failure, or the commit's).
  void write(const std::function<void(sqlite3*)>& work);

  std::mutex readLock_;
  sqlite3* reader_ = nullptr;
  sqlite3* writer_ = nullptr;  // used only by the thread that leads the current group

  std::mutex queueLock_;
  std::vector<Pending*> queue_;
  bool committing_ = false;
};

// The current UTC time as "2024-01-15T10:20:30Z".
std::string utcNow();

}  // namespace kn::platform
