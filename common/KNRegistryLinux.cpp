// The registry on Linux: one hive file per root (see KNRegistryHive.h for the format).
//
// Reads parse the file and keep the result while the file stays the same (device, inode, size and
// modification time), so a run of reads costs one stat each. Writes take an exclusive flock on
// "<hive>.lock", read and parse the current file afresh (never from that cache), change it and write it whole
// with writeFileAtomic (temporary file, fsync, rename; mode 0600): other processes see the hive before or
// after a write, never half of it. A write that would change nothing touches no file. A hive that
// came as UTF-16LE with a byte-order mark (a regedit export) is written back so, with CR LF line ends.
//
// The per-user hive (HKCU) holds only this system's own state, which it can make again: when it is
// malformed it is renamed to "HKCU.reg.corrupt-<YYYYMMDD-HHMMSS>" under the write lock, logged, and
// the store starts empty; the five newest such copies are kept, older ones deleted, so that a hive
// spoilt again and again cannot fill the disk. A malformed machine hive (HKLM) is an administrator's file: it
// is never moved or overwritten, and every read and write of it fails naming the file and line.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "KNAtomicFile.h"
#include "KNEnv.h"
#include "KNEnvLinux.h"
#include "KNRegistryLinux.h"
#include "KNLib.h"
#include "KNRegistryHive.h"
#include "KNTextCodec.h"
#include "knLOG2.h"

namespace kn {

std::string hiveFilePath(RegRoot root) {
  return root == RegRoot::LocalMachine ? underSysRoot("/etc/kestrane/HKLM.reg")
                                       : xdgConfigHome() + "/kestrane/HKCU.reg";
}

namespace {

// A hive larger than this is not a registry this system wrote, nor a plausible export of the few keys
// it reads; refusing it keeps memory bounded (64 MiB, about 32 MiB of UTF-16 text).
constexpr off_t kMaxHiveBytes = 64 << 20;
constexpr size_t kSetAsideCopies = 5;

bool isUtf16LE(std::string_view bytes) { return bytes.starts_with("\xFF\xFE"); }

// The hive text in the file's encoding: UTF-8 with LF, or UTF-16LE with its mark and CR LF.
std::string encodeHive(const std::string& text, bool utf16) {
  if (!utf16) return text;
  std::string crlf;
  crlf.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return "\xFF\xFE" + encodeUtf16LE(crlf);
}

// "<hive>.corrupt-YYYYMMDD-HHMMSS", with "-2", "-3"... when that name is taken.
std::string corruptName(const std::string& file) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localCalendar(now, tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  std::string base = file + ".corrupt-" + stamp, name = base;
  struct stat st;
  for (int n = 2; ::lstat(name.c_str(), &st) == 0; ++n) name = base + "-" + std::to_string(n);
  return name;
}

// Deletes all but the `keep` newest copies set aside from `file`, newest by the time in their names
// and then by their "-N" suffix.
void pruneSetAside(const std::string& file, size_t keep) {
  namespace fs = std::filesystem;
  fs::path hive(file);
  std::string prefix = hive.filename().string() + ".corrupt-";
  std::vector<std::tuple<std::string, unsigned long, fs::path>> copies;  // stamp, suffix, path
  std::error_code ec;
  for (fs::directory_iterator it(hive.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!name.starts_with(prefix) || !it->is_regular_file(ec)) continue;
    std::string rest = name.substr(prefix.size());
    std::string stamp = rest.substr(0, 15);
    unsigned long n = rest.size() > 16 ? std::strtoul(rest.c_str() + 16, nullptr, 10) : 1;
    copies.emplace_back(stamp, n, it->path());
  }
  if (copies.size() <= keep) return;
  std::sort(copies.begin(), copies.end(), std::greater<>());
  for (size_t i = keep; i < copies.size(); ++i) fs::remove(std::get<2>(copies[i]), ec);
}

[[noreturn]] void throwErrno(const std::string& what, const std::string& file, int err) {
  throw ERegistryAccessError(what + " \"" + file + "\". " + os().errorText(err));
}

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;  // -1: no file
  timespec mtime{};

  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

FileIdentity identityOf(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

class TRegistryHiveFiles : public TRegistry {
 public:
  explicit TRegistryHiveFiles(Os& sys) : sys_(sys) {}

  void createKey(RegRoot root, const std::string& path) override {
    std::string full = fullKeyPath(root, path);
    if (load(root)->exists(full)) return;
    modify(root, [&](Hive& hive) {
      if (hive.exists(full)) return false;
      hive.ensure(full);
      return true;
    });
  }

  bool keyExists(RegRoot root, const std::string& path) override {
    return load(root)->exists(fullKeyPath(root, path));
  }

  std::vector<RegValue> values(RegRoot root, const std::string& path) override {
    auto hive = load(root);
    const HiveKey* key = hive->find(fullKeyPath(root, path));
    return key ? key->values : std::vector<RegValue>{};
  }

  std::vector<std::string> subKeys(RegRoot root, const std::string& path) override {
    return load(root)->subKeys(fullKeyPath(root, path));
  }

  std::optional<std::string> readString(RegRoot root, const std::string& path,
                                        const std::string& name) override {
    return load(root)->readString(fullKeyPath(root, path), name);
  }

  void writeString(RegRoot root, const std::string& path, const std::string& name,
                   const std::string& value) override {
    setValue(root, path, RegValue{name, RegType::String, value, 0});
  }

  void writeDword(RegRoot root, const std::string& path, const std::string& name, uint32_t value) override {
    setValue(root, path, RegValue{name, RegType::DWord, "", value});
  }

  bool deleteValue(RegRoot root, const std::string& path, const std::string& name) override {
    std::string full = fullKeyPath(root, path);
    bool found = false;
    modify(root, [&](Hive& hive) {
      HiveKey* key = hive.find(full);
      if (!key) return false;
      auto& vals = key->values;
      auto it = std::find_if(vals.begin(), vals.end(),
                             [&](const RegValue& v) { return sameRegName(v.name, name); });
      if (it == vals.end()) return false;
      vals.erase(it);
      return found = true;
    });
    return found;
  }

 private:
  struct Cached {
    FileIdentity identity;
    std::shared_ptr<const Hive> hive;
    bool utf16 = false;  // the file is UTF-16LE with a byte-order mark
  };

  // The exclusive write lock of a hive ("<hive>.lock"), held while the result lives.
  FileLock writeLock(const std::string& file) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    try {
      return sys_.lockFile(file + ".lock", LockWait::Wait);
    } catch (const EOSError& e) {
      throw ERegistryAccessError(e.what());
    }
  }

  void setValue(RegRoot root, const std::string& path, RegValue value) {
    std::string full = fullKeyPath(root, path);
    modify(root, [&](Hive& hive) {
      HiveKey& key = hive.ensure(full);
      for (auto& v : key.values) {
        if (!sameRegName(v.name, value.name)) continue;
        if (v.type == value.type && v.text == value.text && v.number == value.number) return false;
        // The same text into a value that already reads as that text (a REG_EXPAND_SZ in hex
        // form, say) is no change: the value keeps its type.
        if (value.type == RegType::String && regValueText(v) == value.text) return false;
        value.name = v.name;  // keep the spelling the value was created with
        v = std::move(value);
        return true;
      }
      key.values.push_back(std::move(value));
      return true;
    });
  }

  // The parsed hive of `root`, from the cache while the file is unchanged.
  std::shared_ptr<const Hive> load(RegRoot root) {
    std::string file = hiveFilePath(root);
    std::lock_guard lock(mutex_);
    try {
      return loadLocked(file).hive;
    } catch (const EHiveFormatError& malformed) {
      if (root != RegRoot::CurrentUser) throw;
      // Set aside only under the write lock, from a fresh look: another process may have just
      // replaced the file. Without the lock (a folder this process cannot write) it stays an error.
      FileLock held;
      try {
        held = writeLock(file);
      } catch (const ERegistryAccessError&) {
        throw malformed;
      }
      return loadLocked(file, true, true).hive;
    }
  }

  // With `fresh`, the file is parsed even when its identity matches the cached one: the identity
  // can repeat (an inode recycled within one tick of the file-system clock, a same-sized text).
  // With `setAsideMalformed` (the caller holds the write lock), a malformed hive is renamed aside
  // and read as empty.
  Cached loadLocked(const std::string& file, bool fresh = false, bool setAsideMalformed = false) {
    auto cached = cache_.find(file);
    if (!fresh && cached != cache_.end()) {
      // The common case, a hive unchanged since the last read, costs one stat.
      struct stat now;
      if (::stat(file.c_str(), &now) == 0 ? S_ISREG(now.st_mode) && identityOf(now) == cached->second.identity
                                          : errno == ENOENT && cached->second.identity == FileIdentity{})
        return cached->second;
    }
    // The identity is taken before the read: a file replaced in between is read again next time,
    // never cached as older than it is.
    FileIdentity identity;
    struct stat st {};
    bool present = false;
    if (::stat(file.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) throwErrno("Cannot read", file, errno);
    } else {
      if (!S_ISREG(st.st_mode))
        throw ERegistryAccessError("Cannot read \"" + file + "\". Not a regular file");
      identity = identityOf(st);
      present = true;
    }
    if (!fresh && cached != cache_.end() && cached->second.identity == identity) return cached->second;

    Cached result{identity, nullptr, false};
    auto hive = std::make_shared<Hive>();
    if (present) {
      try {
        std::string bytes = readHive(file, st);
        result.utf16 = isUtf16LE(bytes);
        *hive = parseHive(decodeText(bytes), file);
      } catch (const EHiveFormatError& e) {
        if (!setAsideMalformed) throw;
        setAside(file, e.what());
        result.identity = FileIdentity{};
        hive = std::make_shared<Hive>();
      }
    }
    result.hive = hive;
    cache_[file] = result;
    return result;
  }

  std::string readHive(const std::string& file, const struct stat& st) {
    if (st.st_size > kMaxHiveBytes) throw EHiveFormatError(file + ": the hive is too large");
    try {
      return sys_.readFile(file, static_cast<size_t>(kMaxHiveBytes));
    } catch (const EOSError& e) {
      throw ERegistryAccessError(e.what());  // gone, grown past the bound or replaced by a FIFO meanwhile
    }
  }

  // Moves a malformed per-user hive out of the way; the caller holds the write lock.
  void setAside(const std::string& file, const std::string& reason) {
    std::string aside = corruptName(file);
    try {
      sys_.renamePath(file, aside);
    } catch (const EOSError& e) {
      throw EHiveFormatError(reason + "; it cannot be moved aside: " + e.what());
    }
    logMsg(logSafe("Malformed per-user hive moved to \"" + aside + "\", starting afresh: " + reason));
    pruneSetAside(file, kSetAsideCopies);
  }

  // Applies `change` to the current hive under the write lock and saves it when it says it
  // changed something.
  void modify(RegRoot root, const std::function<bool(Hive&)>& change) {
    std::string file = hiveFilePath(root);
    std::lock_guard lock(mutex_);
    FileLock held = writeLock(file);
    // A write starts from the file as it is now, never from the cache, so that it cannot put back
    // an older hive over another writer's change.
    Cached current = loadLocked(file, true, root == RegRoot::CurrentUser);
    Hive hive = *current.hive;
    if (!change(hive)) return;
    save(file, encodeHive(formatHive(hive), current.utf16));
  }

  void save(const std::string& file, const std::string& bytes) {
    try {
      writeFileWhole(sys_, file, bytes, {.mode = 0600});
    } catch (const EOSError& e) {
      throw ERegistryAccessError(e.what());  // the hive itself is untouched
    }
  }

  Os& sys_;
  std::mutex mutex_;
  std::map<std::string, Cached> cache_;
};

}  // namespace

std::shared_ptr<TRegistry> newHiveFileRegistry(Os& sys) { return std::make_shared<TRegistryHiveFiles>(sys); }

std::shared_ptr<TRegistry> newSystemRegistry() { return newHiveFileRegistry(os()); }

}  // namespace kn
