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
CREATE TABLE IF NOT EXISTS key_notices (
  machine_id  TEXT PRIMARY KEY,
  svc         TEXT NOT NULL,
  pcn         TEXT NOT NULL,
  av          TEXT NOT NULL,
  received_at TEXT NOT NULL,
  seq         INTEGER NOT NULL,
  data        TEXT NOT NULL,
  count       INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS key_notices_by_seq ON key_notices (seq);
CREATE TABLE IF NOT EXISTS refused (
  id          INTEGER PRIMARY KEY,
  received_at TEXT NOT NULL,
  remote_addr TEXT NOT NULL,
  machine_id  TEXT NOT NULL,
  reason      TEXT NOT NULL
);
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
    " m.last_checkin_data, m.last_miniaudit, m.last_miniaudit_data,"
    " COALESCE((SELECT received_at FROM key_notices k WHERE k.machine_id = m.machine_id), ''),"
    " COALESCE((SELECT data FROM key_notices k WHERE k.machine_id = m.machine_id), ''),"
    " m.call_count,"
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

namespace {

sqlite3* openConnection(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError("Cannot open data file " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db, 10000);
  return db;
}

}  // namespace

struct PlatformStore::Pending {
  const std::function<void(sqlite3*)>* work;
  std::exception_ptr error;
  bool done = false;
  bool lead = false;  // this writer leads the next group
  std::condition_variable wake;
};

PlatformStore::PlatformStore(const std::string& path) {
  writer_ = openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  try {
    // FULL: a commit is on disk before the call it records is answered.
    exec(writer_, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;");
    exec(writer_, kSchema);
    reader_ = openConnection(path, SQLITE_OPEN_READONLY);
  } catch (...) {
    sqlite3_close(writer_);
    throw;
  }
}

PlatformStore::~PlatformStore() {
  sqlite3_close(reader_);
  sqlite3_close(writer_);
}

void PlatformStore::write(const std::function<void(sqlite3*)>& work) {
  Pending mine{&work, nullptr, false, false, {}};
  std::unique_lock lk(queueLock_);
  queue_.push_back(&mine);
  if (committing_) mine.wake.wait(lk, [&] { return mine.done || mine.lead; });
  if (!mine.done) {
    // Lead one group: everything waiting now, in one transaction. Each writer is woken on its own,
    // and the first of those that queued meanwhile leads the next group.
    committing_ = true;
    std::vector<Pending*> group;
    group.swap(queue_);
    lk.unlock();
    std::exception_ptr commitError;
    try {
      exec(writer_, "BEGIN IMMEDIATE");
      for (Pending* p : group) {
        exec(writer_, "SAVEPOINT one");
        try {
          (*p->work)(writer_);
          exec(writer_, "RELEASE one");
        } catch (...) {
          p->error = std::current_exception();
          exec(writer_, "ROLLBACK TO one");
          exec(writer_, "RELEASE one");
        }
      }
      exec(writer_, "COMMIT");
    } catch (...) {
      commitError = std::current_exception();
      sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    lk.lock();
    for (Pending* p : group) {
      if (commitError) p->error = commitError;
      p->done = true;
      if (p != &mine) p->wake.notify_one();
    }
    if (queue_.empty()) {
      committing_ = false;
    } else {
      queue_.front()->lead = true;
      queue_.front()->wake.notify_one();
    }
  }
  if (mine.error) std::rethrow_exception(mine.error);
}

std::int64_t PlatformStore::recordCall(CallRecord call, const MachineUpdate* update) {
  if (call.receivedAt.empty()) call.receivedAt = utcNow();
  call.argsTruncated = cutUtf8(call.args, kMaxStoredArgs) || call.argsTruncated;
  std::int64_t id = 0;
  write([&](sqlite3* db) {
    Statement(db,
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
    id = sqlite3_last_insert_rowid(db);
    if (update) applyUpdate(db, call.machineId, call.receivedAt, *update);
  });
  return id;
}

void PlatformStore::recordKeyNotice(KeyNotice n) {
  if (n.receivedAt.empty()) n.receivedAt = utcNow();
  cutUtf8(n.data, kMaxStoredArgs);
  write([&](sqlite3* db) {
    Statement(db,
              "INSERT INTO key_notices (machine_id, svc, pcn, av, received_at, seq, data, count)"
              " VALUES (?1, ?2, ?3, ?4, ?5, (SELECT COALESCE(MAX(seq), 0) + 1 FROM key_notices), ?6, 1)"
              " ON CONFLICT (machine_id) DO UPDATE SET svc = ?2, pcn = ?3, av = ?4, received_at = ?5,"
              " seq = (SELECT MAX(seq) + 1 FROM key_notices), data = ?6, count = count + 1")
        .bind(1, n.identity.id)
        .bind(2, n.identity.svc)
        .bind(3, n.identity.pcn)
        .bind(4, n.identity.av)
        .bind(5, n.receivedAt)
        .bind(6, n.data)
        .step();
    Statement(db, "DELETE FROM key_notices WHERE seq <= (SELECT MAX(seq) FROM key_notices) - ?1")
        .bind(1, std::int64_t{kNoticesKept})
        .step();
  });
}

void PlatformStore::recordRefusal(RefusedCall r) {
  if (r.receivedAt.empty()) r.receivedAt = utcNow();
  cutUtf8(r.machineId, 256);
  cutUtf8(r.reason, 1024);
  write([&](sqlite3* db) {
    Statement(db,
              "INSERT INTO refused (received_at, remote_addr, machine_id, reason) VALUES (?1, ?2, ?3, ?4)")
        .bind(1, r.receivedAt)
        .bind(2, r.remoteAddr)
        .bind(3, r.machineId)
        .bind(4, r.reason)
        .step();
    Statement(db, "DELETE FROM refused WHERE id <= ?1")
        .bind(1, sqlite3_last_insert_rowid(db) - kRefusedKept)
        .step();
  });
}

std::vector<KeyNotice> PlatformStore::keyNotices(int limit) {
  std::lock_guard guard(readLock_);
  Statement s(reader_,
              "SELECT machine_id, svc, pcn, av, received_at, data, count FROM key_notices ORDER BY seq DESC"
              " LIMIT ?1");
  s.bind(1, std::int64_t{limit});
  std::vector<KeyNotice> out;
  while (s.step())
    out.push_back({{s.text(0), s.text(1), s.text(2), s.text(3), false}, s.text(4), s.text(5), s.integer(6)});
  return out;
}

std::vector<RefusedCall> PlatformStore::refusals(int limit) {
  std::lock_guard guard(readLock_);
  Statement s(
      reader_,
      "SELECT id, received_at, remote_addr, machine_id, reason FROM refused ORDER BY id DESC LIMIT ?1");
  s.bind(1, std::int64_t{limit});
  std::vector<RefusedCall> out;
  while (s.step()) out.push_back({s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4)});
  return out;
}

std::vector<MachineRecord> PlatformStore::machines() {
  std::lock_guard guard(readLock_);
  Statement s(
      reader_,
      (std::string("SELECT ") + kMachineColumns + " ORDER BY m.last_seen DESC, m.machine_id").c_str());
  std::vector<MachineRecord> out;
  while (s.step()) out.push_back(readMachine(s));
  return out;
}

std::optional<MachineRecord> PlatformStore::machine(const std::string& machineId) {
  std::lock_guard guard(readLock_);
  Statement s(reader_, (std::string("SELECT ") + kMachineColumns + " WHERE m.machine_id = ?1").c_str());
  s.bind(1, machineId);
  if (!s.step()) return std::nullopt;
  return readMachine(s);
}

std::vector<CallRecord> PlatformStore::calls(const std::string& machineId, const std::string& method,
                                             int limit) {
  std::lock_guard guard(readLock_);
  Statement s(reader_,
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
  std::lock_guard guard(readLock_);
  Statement s(reader_,
              "SELECT id, machine_id, received_at, success, document FROM audits WHERE machine_id = ?1"
              " ORDER BY id DESC LIMIT 1");
  s.bind(1, machineId);
  if (!s.step()) return std::nullopt;
  return AuditRecord{s.integer(0), s.text(1), s.text(2), s.integer(3) != 0, s.text(4)};
}

}  // namespace kn::platform
