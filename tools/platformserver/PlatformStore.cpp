#include "PlatformStore.h"

#include <sqlite3.h>

#include <ctime>

namespace kn::platform {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS calls (
  id             INTEGER PRIMARY KEY,
  machine_id     TEXT NOT NULL,
  api            TEXT NOT NULL,
  method         TEXT NOT NULL,
  received_at    TEXT NOT NULL,
  args           TEXT NOT NULL,
  args_truncated INTEGER NOT NULL,
  outcome        TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS calls_by_machine ON calls (machine_id, id);
CREATE TABLE IF NOT EXISTS machines (
  machine_id            TEXT PRIMARY KEY,
  svc                   TEXT NOT NULL DEFAULT '',
  pcn                   TEXT NOT NULL DEFAULT '',
  av                    TEXT NOT NULL DEFAULT '',
  has_key               INTEGER NOT NULL DEFAULT 0,
  first_seen            TEXT NOT NULL,
  last_seen             TEXT NOT NULL,
  last_checkin          TEXT NOT NULL DEFAULT '',
  last_checkin_data     TEXT NOT NULL DEFAULT '',
  last_miniaudit        TEXT NOT NULL DEFAULT '',
  last_miniaudit_data   TEXT NOT NULL DEFAULT '',
  last_missing_key      TEXT NOT NULL DEFAULT '',
  last_missing_key_data TEXT NOT NULL DEFAULT '',
  call_count            INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS audits (
  id          INTEGER PRIMARY KEY,
  machine_id  TEXT NOT NULL,
  received_at TEXT NOT NULL,
  success     INTEGER NOT NULL,
  document    TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS audits_by_machine ON audits (machine_id, id);
)sql";

// One prepared statement, finalised on scope exit; binds are 1-based as in SQLite.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
      throw StoreError(std::string("SQLite prepare failed: ") + sqlite3_errmsg(db));
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int i, const std::string& s) {
    sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int i, std::int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  // True while a row is available; false when done.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("SQLite step failed: ") + sqlite3_errmsg(db_));
  }
  std::string text(int col) const {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, sqlite3_column_bytes(stmt_, col)) : std::string();
  }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errmsg(db);
    sqlite3_free(err);
    throw StoreError("SQLite: " + msg);
  }
}

// Rolls back unless committed, so a failure half-way leaves no partial call behind.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

// Cuts `s` to at most `max` bytes without splitting a UTF-8 sequence.
bool cutUtf8(std::string& s, std::size_t max) {
  if (s.size() <= max) return false;
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  s.resize(n);
  return true;
}

void applyUpdate(sqlite3* db, const std::string& machineId, const std::string& now, const MachineUpdate& u) {
  const Identity& id = u.identity;
  Statement(db,
            "INSERT INTO machines (machine_id, svc, pcn, av, has_key, first_seen, last_seen, call_count)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6, 1)"
            " ON CONFLICT (machine_id) DO UPDATE SET svc = ?2, pcn = ?3, av = ?4, has_key = ?5,"
            " last_seen = ?6, call_count = call_count + 1")
      .bind(1, machineId)
      .bind(2, id.svc)
      .bind(3, id.pcn)
      .bind(4, id.av)
      .bind(5, std::int64_t{id.hasKey})
      .bind(6, now)
      .step();
  auto setPair = [&](const char* sql, const std::string& data) {
    Statement(db, sql).bind(1, now).bind(2, data).bind(3, machineId).step();
  };
  if (u.checkin)
    setPair("UPDATE machines SET last_checkin = ?1, last_checkin_data = ?2 WHERE machine_id = ?3",
            *u.checkin);
  if (u.miniAudit)
    setPair("UPDATE machines SET last_miniaudit = ?1, last_miniaudit_data = ?2 WHERE machine_id = ?3",
            *u.miniAudit);
  if (u.missingKey)
    setPair("UPDATE machines SET last_missing_key = ?1, last_missing_key_data = ?2 WHERE machine_id = ?3",
            *u.missingKey);
  if (u.audit) {
    Statement(db, "INSERT INTO audits (machine_id, received_at, success, document) VALUES (?1, ?2, ?3, ?4)")
        .bind(1, machineId)
        .bind(2, now)
        .bind(3, std::int64_t{u.auditSuccess})
        .bind(4, *u.audit)
        .step();
    Statement(db,
              "DELETE FROM audits WHERE machine_id = ?1 AND id NOT IN"
              " (SELECT id FROM audits WHERE machine_id = ?1 ORDER BY id DESC LIMIT ?2)")
        .bind(1, machineId)
        .bind(2, std::int64_t{kAuditsKept})
        .step();
  }
}

constexpr const char* kMachineColumns =
    "m.machine_id, m.svc, m.pcn, m.av, m.has_key, m.first_seen, m.last_seen, m.last_checkin,"
    " m.last_checkin_data, m.last_miniaudit, m.last_miniaudit_data, m.last_missing_key,"
    " m.last_missing_key_data, m.call_count,"
    " COALESCE((SELECT received_at FROM audits a WHERE a.machine_id = m.machine_id ORDER BY id DESC LIMIT "
    "1), '')"
    " FROM machines m";

MachineRecord readMachine(const Statement& s) {
  MachineRecord m;
  m.machineId = s.text(0);
  m.identity = {m.machineId, s.text(1), s.text(2), s.text(3), s.integer(4) != 0};
  m.firstSeen = s.text(5);
  m.lastSeen = s.text(6);
  m.lastCheckin = s.text(7);
  m.lastCheckinData = s.text(8);
  m.lastMiniAudit = s.text(9);
  m.lastMiniAuditData = s.text(10);
  m.lastMissingKey = s.text(11);
  m.lastMissingKeyData = s.text(12);
  m.callCount = s.integer(13);
  m.lastAudit = s.text(14);
  return m;
}

}  // namespace

std::string utcNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

PlatformStore::PlatformStore(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw StoreError("Cannot open data file " + path + ": " + msg);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    exec(db_, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;");
    exec(db_, kSchema);
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

PlatformStore::~PlatformStore() { sqlite3_close(db_); }

std::int64_t PlatformStore::recordCall(CallRecord call, const MachineUpdate* update) {
  if (call.receivedAt.empty()) call.receivedAt = utcNow();
  call.argsTruncated = cutUtf8(call.args, kMaxStoredArgs) || call.argsTruncated;
  std::lock_guard guard(lock_);
  Transaction tx(db_);
  Statement(db_,
            "INSERT INTO calls (machine_id, api, method, received_at, args, args_truncated, outcome)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
      .bind(1, call.machineId)
      .bind(2, call.api)
      .bind(3, call.method)
      .bind(4, call.receivedAt)
      .bind(5, call.args)
      .bind(6, std::int64_t{call.argsTruncated})
      .bind(7, call.outcome)
      .step();
  std::int64_t id = sqlite3_last_insert_rowid(db_);
  if (update) applyUpdate(db_, call.machineId, call.receivedAt, *update);
  tx.commit();
  return id;
}

std::vector<MachineRecord> PlatformStore::machines() {
  std::lock_guard guard(lock_);
  Statement s(
      db_, (std::string("SELECT ") + kMachineColumns + " ORDER BY m.last_seen DESC, m.machine_id").c_str());
  std::vector<MachineRecord> out;
  while (s.step()) out.push_back(readMachine(s));
  return out;
}

std::optional<MachineRecord> PlatformStore::machine(const std::string& machineId) {
  std::lock_guard guard(lock_);
  Statement s(db_, (std::string("SELECT ") + kMachineColumns + " WHERE m.machine_id = ?1").c_str());
  s.bind(1, machineId);
  if (!s.step()) return std::nullopt;
  return readMachine(s);
}

std::vector<CallRecord> PlatformStore::calls(const std::string& machineId, const std::string& method,
                                             int limit) {
  std::lock_guard guard(lock_);
  Statement s(db_,
              "SELECT id, machine_id, api, method, received_at, args, args_truncated, outcome FROM calls"
              " WHERE (?1 = '' OR machine_id = ?1) AND (?2 = '' OR method = ?2) ORDER BY id DESC LIMIT ?3");
  s.bind(1, machineId).bind(2, method).bind(3, std::int64_t{limit});
  std::vector<CallRecord> out;
  while (s.step())
    out.push_back(
        {s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.integer(6) != 0, s.text(7)});
  return out;
}

std::optional<AuditRecord> PlatformStore::latestAudit(const std::string& machineId) {
  std::lock_guard guard(lock_);
  Statement s(db_,
              "SELECT id, machine_id, received_at, success, document FROM audits WHERE machine_id = ?1"
              " ORDER BY id DESC LIMIT 1");
  s.bind(1, machineId);
  if (!s.step()) return std::nullopt;
  return AuditRecord{s.integer(0), s.text(1), s.text(2), s.integer(3) != 0, s.text(4)};
}

}  // namespace kn::platform
