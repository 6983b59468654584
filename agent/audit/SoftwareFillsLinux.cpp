// Fill functions of the software classes: dpkg's packages and those of rpm, snap and flatpak,
// systemd's services, and the log files of /var/log (InstanceProviderLinux.h).
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "InstanceProviderLinux.h"
#include "KNOs.h"
#include "LinuxSources.h"
#include "knLOG2.h"

namespace kn::linuxfill {
namespace {

using namespace linuxsrc;
using namespace devsrc;

// systemctl gets this long to list the services, and at most this much of its output is taken;
// past either the list counts as not there.
constexpr std::chrono::milliseconds kSystemctlTimeout{10000};
constexpr size_t kMaxSystemctlOutput = size_t{8} << 20;

// Escapes a path for an SQLite "file:" URI.
std::string uriPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", static_cast<unsigned char>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out;
}

// The packages of an rpm database in SQLite form, read-only. A database that is locked or damaged
// gives what could be read and a log line.
std::vector<Package> rpmPackages(const Machine& m) {
  constexpr std::int64_t kMaxPackages = 200000;
  constexpr int kMaxHeader = 64 << 20;
  std::vector<Package> out;
  for (const char* file : {"/usr/lib/sysimage/rpm/rpmdb.sqlite", "/var/lib/rpm/rpmdb.sqlite"}) {
    const std::string path = m.path(file);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Read-only; a database in WAL mode whose shared-memory file cannot be made is read as it is
    // on disk ("immutable"), which is what a read-only look needs.
    for (const std::string& uri :
         {"file:" + uriPath(path) + "?mode=ro", "file:" + uriPath(path) + "?immutable=1"}) {
      sqlite3* db = nullptr;
      int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                               nullptr);
      sqlite3_stmt* query = nullptr;
      if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        rc = sqlite3_prepare_v2(db, "SELECT blob FROM Packages", -1, &query, nullptr);
      }
      std::int64_t rows = 0;
      while (rc == SQLITE_OK && rows++ < kMaxPackages) {
        const int step = sqlite3_step(query);
        if (step == SQLITE_DONE) break;
        if (step != SQLITE_ROW) {
          rc = step;
          break;
        }
        const int size = sqlite3_column_bytes(query, 0);
        const void* blob = sqlite3_column_blob(query, 0);
        if (!blob || size <= 0 || size > kMaxHeader) continue;
        if (auto p = parseRpmHeader(std::string_view(static_cast<const char*>(blob), size)))
          out.push_back(*p);
      }
      const bool failedEarly = rc != SQLITE_OK && out.empty();
      const std::string error = rc == SQLITE_OK ? "" : db ? sqlite3_errmsg(db) : "cannot open";
      sqlite3_finalize(query);
      sqlite3_close(db);
      if (!error.empty() && (!failedEarly || uri.find("immutable") != std::string::npos))
        logMsg("rpm database " + logSafe(path) + ": " + logSafe(error));
      if (!failedEarly) return out;
    }
    return out;
  }
  return out;
}

std::vector<Package> snapPackages(const Machine& m) {
  std::vector<Package> out;
  for (const std::string& name : m.list("/snap")) {
    if (name == "bin" || name == "README") continue;
    const auto yaml = m.head("/snap/" + name + "/current/meta/snap.yaml", 1 << 20);
    if (auto p = yaml ? parseSnapYaml(*yaml) : std::nullopt) out.push_back(std::move(*p));
  }
  return out;
}

std::vector<Package> flatpakPackages(const Machine& m) {
  std::vector<Package> out;
  for (const std::string& id : m.list("/var/lib/flatpak/app")) {
    // "current" points at "<arch>/<branch>" of the deploy in use.
    const std::string current = m.link("/var/lib/flatpak/app/" + id + "/current").value_or("");
    const size_t slash = current.find('/');
    if (slash == std::string::npos || current.find('/', slash + 1) != std::string::npos) continue;
    const std::string files = "/var/lib/flatpak/app/" + id + "/current/active/files/share/";
    auto appstream = m.head(files + "metainfo/" + id + ".metainfo.xml", 4 << 20);
    if (!appstream) appstream = m.head(files + "appdata/" + id + ".appdata.xml", 4 << 20);
    out.push_back(
        flatpakPackage(id, current.substr(0, slash), current.substr(slash + 1), appstream.value_or("")));
  }
  return out;
}

// dpkg's packages (none when its database cannot be read).
void addDpkgProducts(const Machine& m, Instances& out) {
  const auto status = m.read("/var/lib/dpkg/status");
  if (!status) return;
  for (const DpkgPackage& p : parseDpkgStatus(*status)) {
    const std::string name = p.qualifiedName();
    out.add()
        .set("Name", name)
        .set("Caption", name)
        .set("IdentifyingNumber", name)
        .set("Version", p.version)
        .set("Vendor", nonEmpty(p.maintainer))
        .set("Description", nonEmpty(p.summary))
        .set("URLInfoAbout", nonEmpty(p.homepage))
        .set("InstallState", 5);
  }
}

}  // namespace

std::optional<std::string> systemctlServiceUnits() {
  const char* configured = std::getenv("KN_SYSTEMCTL");
  ProgramRun run;
  run.argv = {configured && *configured ? configured : "systemctl",
              "list-units",
              "--type=service",
              "--all",
              "--plain",
              "--full",
              "--no-legend",
              "--no-pager"};
  run.timeout = kSystemctlTimeout;
  run.maxOutput = kMaxSystemctlOutput;
  ProgramResult result = os().runProgram(run);
  if (!result.exitedWith(0) || result.outputCut) return std::nullopt;
  return std::move(result.output);
}

std::vector<Package> otherSoftware(const Machine& m) {
  std::vector<Package> out = rpmPackages(m);
  for (auto* source : {snapPackages, flatpakPackages})
    for (Package& p : source(m)) out.push_back(std::move(p));
  return out;
}

void fillProduct(const Machine& m, Instances& out) {
  addDpkgProducts(m, out);
  if (!m.extendedInventory()) return;
  for (const Package& p : otherSoftware(m)) {
    out.add()
        .set("Name", p.name)
        .set("Caption", p.name)
        .set("IdentifyingNumber", p.name)
        .set("Version", nonEmpty(p.version))
        .set("Vendor", nonEmpty(p.publisher))
        .set("Description", nonEmpty(p.summary))
        .set("URLInfoAbout", nonEmpty(p.url))
        .set("InstallState", 5)
        .set("InstallDate", nonEmpty(p.installDate()))
        .set("InstallSource", p.source);
  }
}

void fillService(const Machine& m, Instances& out) {
  // Unit folders in systemd's order of precedence: the first file of a name wins.
  static const char* const kUnitDirs[] = {"/etc/systemd/system", "/run/systemd/system",
                                          "/usr/local/lib/systemd/system", "/lib/systemd/system",
                                          "/usr/lib/systemd/system"};
  std::map<std::string, std::string> units;      // "name.service" -> its file, sorted by name
  std::map<std::string, std::string> templates;  // "getty@.service" -> its file
  std::set<std::string> masked, enabled;
  for (const char* dir : kUnitDirs) {
    const std::string base = dir;
    for (const std::string& name : m.list(base)) {
      const std::string file = base + "/" + name;
      if (name.ends_with(".service")) {
        const auto target = m.link(file);
        if (target == "/dev/null") {
          masked.insert(name);
        } else if (target && baseName(*target) != name) {
          // an alias link to another unit is no service of its own
        } else if (name.ends_with("@.service")) {
          templates.emplace(name, file);
        } else if (!units.count(name) && !masked.count(name)) {
          units.emplace(name, file);
        }
      } else if (name.ends_with(".wants") || name.ends_with(".requires")) {
        // Wanted by a target, whether an administrator enabled it or the distribution ships it so.
        for (const std::string& wanted : m.list(file)) enabled.insert(wanted);
      }
    }
  }
  // Enabled instances of templates ("getty@tty1.service") are services of their own.
  for (const std::string& wanted : enabled) {
    const size_t at = wanted.find('@');
    if (!wanted.ends_with(".service") || at == std::string::npos || wanted.ends_with("@.service")) continue;
    const auto t = templates.find(wanted.substr(0, at + 1) + ".service");
    if (t != templates.end() && !masked.count(wanted)) units.emplace(wanted, t->second);
  }
  for (const std::string& name : masked) units.emplace(name, "");
  // Where systemd runs the audited machine: the state of every loaded service, and the loaded
  // services no unit file on disk names (generated or transient ones).
  std::map<std::string, ServiceUnitState> states;
  if (const auto listed = m.serviceUnits()) {
    for (ServiceUnitState& u : parseListUnits(*listed)) {
      if (u.load != "not-found" && !u.name.ends_with("@.service")) units.emplace(u.name, "");
      states.emplace(u.name, std::move(u));
    }
  }
  for (const auto& [file, path] : units) {
    const std::string name = file.substr(0, file.size() - 8);
    const auto state = states.find(file);
    UnitFile unit = path.empty() ? UnitFile() : parseUnitFile(m.read(path).value_or(""));
    if (unit.description.empty() && state != states.end()) unit.description = state->second.description;
    const std::string mode = masked.count(file) ? "Disabled" : enabled.count(file) ? "Auto" : "Manual";
    auto& row = out.add();
    row.set("Name", name)
        .set("DisplayName", nonEmpty(unit.description).value_or(name))
        .set("Caption", nonEmpty(unit.description).value_or(name))
        .set("Description", nonEmpty(unit.description))
        .set("PathName", nonEmpty(unit.execStart))
        .set("StartMode", mode)
        .set("StartName", path.empty() ? std::optional<std::string>() : nonEmpty(unit.user).value_or("root"))
        .set("ServiceType", "Own Process")
        .set("SystemName", nonEmpty(m.hostName()));
    if (state != states.end()) {
      const std::string& active = state->second.active;
      const std::string text = active == "active" || active == "reloading" ? "Running"
                               : active == "activating"                    ? "Start Pending"
                               : active == "deactivating"                  ? "Stop Pending"
                                                                           : "Stopped";
      row.set("State", text).set("Started", text == "Running");
    } else if (!states.empty()) {
      row.set("State", "Stopped").set("Started", false);  // systemd has not loaded it
    }
  }
}

void fillNTEventLogFile(const Machine& m, Instances& out) {
  for (const std::string& name : m.list("/var/log")) {
    const std::string path = "/var/log/" + name;
    const auto st = m.status(path);
    if (!st || !S_ISREG(st->st_mode)) continue;
    const size_t dot = name.find('.');
    const std::string stem = name.substr(0, dot);
    out.add()
        .set("Name", path)
        .set("Caption", path)
        .set("LogfileName", name)
        .set("FileName", stem)
        .set("Extension", dot == std::string::npos ? std::string() : name.substr(dot + 1))
        .set("FileSize", static_cast<std::uint64_t>(st->st_size))
        .set("LastModified", localWmiDateTime(st->st_mtime))
        .set("Compressed", name.ends_with(".gz") || name.ends_with(".xz") || name.ends_with(".zst"))
        .set("Readable", ::access(m.path(path).c_str(), R_OK) == 0)
        .set("Status", "OK");
  }
}

}  // namespace kn::linuxfill
