// The registry on Linux: one hive file per root (see KNRegistryHive.h for the format).
//
// Reads parse the file and keep the result while the file stays the same (device, inode, size and
// modification time), so a run of reads costs one stat each. Writes take an exclusive flock on
// "<hive>.lock", read and parse the current file afresh (never from that cache), change it and write it whole
// with writeFileAtomic (temporary file, fsync, rename; mode 0600): other processes see the hive before or
// after a write, never half of it. A write that would change nothing touches no file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "KNAtomicFile.h"
#include "KNEnv.h"
#include "KNLib.h"
#include "KNRegistryHive.h"
#include "KNTextCodec.h"

namespace kn {

std::string hiveFilePath(RegRoot root) {
  return root == RegRoot::LocalMachine ? underSysRoot("/etc/kestrane/HKLM.reg")
                                       : xdgConfigHome() + "/kestrane/HKCU.reg";
}

namespace {

// A hive larger than this is not a registry this system wrote; refusing it keeps memory bounded.
constexpr off_t kMaxHiveBytes = 64 << 20;

[[noreturn]] void throwErrno(const std::string& what, const std::string& file, int err) {
  throw ERegistryAccessError(what + " \"" + file + "\". " + errnoText(err));
}

// Closes a descriptor on every way out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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
  };

  void setValue(RegRoot root, const std::string& path, RegValue value) {
    std::string full = fullKeyPath(root, path);
    modify(root, [&](Hive& hive) {
      HiveKey& key = hive.ensure(full);
      for (auto& v : key.values) {
        if (!sameRegName(v.name, value.name)) continue;
        if (v.type == value.type && v.text == value.text && v.number == value.number) return false;
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
    return loadLocked(file);
  }

  // With `fresh`, the file is parsed even when its identity matches the cached one: the identity
  // can repeat (an inode recycled within one tick of the file-system clock, a same-sized text).
  std::shared_ptr<const Hive> loadLocked(const std::string& file, bool fresh = false) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    FileIdentity identity;
    struct stat st {};
    if (fd.get() < 0) {
      if (errno != ENOENT && errno != ENOTDIR) throwErrno("Cannot read", file, errno);
    } else {
      if (::fstat(fd.get(), &st) != 0) throwErrno("Cannot read", file, errno);
      identity = identityOf(st);
    }
    auto cached = cache_.find(file);
    if (!fresh && cached != cache_.end() && cached->second.identity == identity) return cached->second.hive;

    auto hive = std::make_shared<Hive>();
    if (fd.get() >= 0) {
      if (st.st_size > kMaxHiveBytes) throw EHiveFormatError(file + ": the hive is too large");
      std::string bytes;
      char buf[65536];
      for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("Cannot read", file, errno);
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
        if (bytes.size() > static_cast<size_t>(kMaxHiveBytes))
          throw EHiveFormatError(file + ": the hive is too large");
      }
      *hive = parseHive(decodeText(bytes), file);
    }
    cache_[file] = Cached{identity, hive};
    return hive;
  }

  // Applies `change` to the current hive under the write lock and saves it when it says it
  // changed something.
  void modify(RegRoot root, const std::function<bool(Hive&)>& change) {
    std::string file = hiveFilePath(root);
    std::lock_guard lock(mutex_);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    std::string lockFile = file + ".lock";
    Fd lockFd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lockFd.get() < 0) throwErrno("Cannot lock", lockFile, errno);
    while (::flock(lockFd.get(), LOCK_EX) != 0)
      if (errno != EINTR) throwErrno("Cannot lock", lockFile, errno);

    // A write starts from the file as it is now, never from the cache, so that it cannot put back
    // an older hive over another writer's change.
    Hive hive = *loadLocked(file, true);
    if (!change(hive)) return;
    save(file, formatHive(hive));
  }

  static void save(const std::string& file, const std::string& text) {
    try {
      writeFileAtomic(file, text, 0600);
    } catch (const EOSError& e) {
      throw ERegistryAccessError(e.what());  // the hive itself is untouched
    }
  }

  std::mutex mutex_;
  std::map<std::string, Cached> cache_;
};

}  // namespace

std::shared_ptr<TRegistry> newSystemRegistry() { return std::make_shared<TRegistryHiveFiles>(); }

}  // namespace kn
