#include "PackageUnpack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

namespace kn {
namespace {

RenameFunction renameFn = nullptr;

int putInPlace(const char* from, const char* to) {
  return renameFn ? renameFn(from, to) : ::rename(from, to);
}

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipCloser>;

// The one place where libzip's errors become our exceptions.
[[noreturn]] void throwZipError(const std::string& what, zip_error_t* err) {
  throw EZipError(what + ": " + zip_error_strerror(err));
}

[[noreturn]] void throwOsError(const std::string& what, int err) {
  throw EZipError(what + ": " + std::strerror(err));
}

ZipHandle openZip(const std::string& zipPath, const std::string& password) {
  int code = 0;
  ZipHandle zip(zip_open(zipPath.c_str(), ZIP_RDONLY, &code));
  if (!zip) {
    zip_error_t err;
    zip_error_init_with_code(&err, code);
    EZipError e("Cannot open " + zipPath + ": " + zip_error_strerror(&err));
    zip_error_fini(&err);
    throw e;
  }
  zip_set_default_password(zip.get(), password.c_str());
  return zip;
}

// The entry's file name without any folder; "" for a folder entry or a name that is only dots.
std::string bareName(const char* stored) {
  std::string_view name = stored;
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name == "." || name == "..") return "";
  return std::string(name);
}

constexpr char kTempAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A fresh name for a temporary file in `folder`; not yet taken when it was made.
std::string tempName(const std::string& folder) {
  thread_local std::mt19937 rng{std::random_device{}()};
  std::string name = folder + ".kn-";
  for (int i = 0; i < 6; ++i) name += kTempAlphabet[rng() % (sizeof kTempAlphabet - 1)];
  return name;
}

struct Entry {
  zip_uint64_t index;
  std::string name;  // as the archive has it
  std::string bare;
  std::uint64_t size;
};

struct Plan {
  std::vector<Entry> entries;  // one per bare name: a later entry of the same bare name wins
  std::uint64_t total = 0;
};

// Reads the archive's directory and decides what would be installed; see checkPackage.
Plan planUnpack(zip_t* zip, const std::string& folder, std::uint64_t maxUnpacked, const UnpackLog& log) {
  Plan plan;
  std::map<std::string, size_t> byName;
  zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t st;
    if (zip_stat_index(zip, index, 0, &st) != 0) throwZipError("Cannot read entry", zip_get_error(zip));
    if (!(st.valid & ZIP_STAT_NAME)) throw EZipError("An entry has no name");
    std::string bare = bareName(st.name);
    if (bare.empty()) continue;
    zip_uint8_t opsys;
    zip_uint32_t attributes;
    if (zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) == 0 &&
        opsys == ZIP_OPSYS_UNIX) {
      mode_t type = (attributes >> 16) & S_IFMT;
      if (type != 0 && type != S_IFREG) {
        if (log)
          log(std::string(type == S_IFLNK ? "Skipped symbolic link " : "Skipped non-regular entry ") +
              st.name);
        continue;
      }
    }
    if (isUnpackTempName(bare)) {
      if (log) log(std::string("Skipped entry with a reserved name ") + st.name);
      continue;
    }
    if (!(st.valid & ZIP_STAT_SIZE)) throw EZipError(std::string("Entry ") + st.name + " declares no size");
    // A method the library cannot read is refused here, before any service is touched (opening such
    // an entry with a password set also leaks inside libzip 1.7).
    if ((st.valid & ZIP_STAT_COMP_METHOD) && !zip_compression_method_supported(st.comp_method, 0))
      throw EZipError(std::string("Entry ") + st.name + " uses a compression method that cannot be read");
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE &&
        !zip_encryption_method_supported(st.encryption_method, 0))
      throw EZipError(std::string("Entry ") + st.name + " uses an encryption method that cannot be read");
    if (st.size > maxUnpacked - plan.total)
      throw EZipError("The package unpacks to more than " + std::to_string(maxUnpacked) + " bytes");
    plan.total += st.size;
    Entry e{index, st.name, bare, st.size};
    auto [at, fresh] = byName.emplace(bare, plan.entries.size());
    if (fresh)
      plan.entries.push_back(std::move(e));
    else
      plan.entries[at->second] = std::move(e);
  }
  if (plan.entries.empty()) throw EZipError("The package holds no file to install");
  for (const Entry& e : plan.entries) {
    struct stat st;
    std::string target = folder + e.bare;
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      throw EZipError("Cannot install " + e.bare + ": something other than a file is in the way");
  }
  return plan;
}

// A temporary file in the folder, removed again unless it was put in place.
class TempFile {
 public:
  explicit TempFile(const std::string& folder) {
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = tempName(folder);
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd_ < 0 && errno != EEXIST) throwOsError("Cannot create a temporary file in " + folder, errno);
    }
    if (fd_ < 0) throwOsError("Cannot create a temporary file in " + folder, EEXIST);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!placed_) ::unlink(path_.c_str());
  }

  void write(const char* data, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd_, data, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) throwOsError("Cannot write " + path_, w < 0 ? errno : ENOSPC);
      data += w;
      n -= static_cast<size_t>(w);
    }
  }

  // Gives the file the target's owner, group and mode when the target exists, else `newMode`;
  // flushes it to disk and closes it.
  void finish(const std::string& target, mode_t newMode) {
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {
      // The owner first: changing it clears set-id bits, which the old file may rightly carry.
      if (::fchown(fd_, st.st_uid, st.st_gid) != 0)
        throwOsError("Cannot give " + target + " its owner", errno);
      newMode = st.st_mode & 07777;
    }
    if (::fchmod(fd_, newMode) != 0 || ::fsync(fd_) != 0) throwOsError("Cannot write " + path_, errno);
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throwOsError("Cannot write " + path_, errno);
  }

  const std::string& path() const { return path_; }
  void placed() { placed_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  bool placed_ = false;
};

// The mode a new file gets: the archive's permission bits without set-id, sticky and group or
// other write (the updater runs as root and the files it unpacks are programs), else 0644.
mode_t newFileMode(zip_t* zip, zip_uint64_t index) {
  zip_uint8_t opsys;
  zip_uint32_t attributes;
  if (zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX) {
    mode_t mode = (attributes >> 16) & 0755;
    if (mode != 0) return mode;
  }
  return 0644;
}

// Writes the entry's data into `out`, never more than its declared size.
void extractEntry(zip_t* zip, const Entry& e, TempFile& out) {
  std::unique_ptr<zip_file_t, ZipFileCloser> in(zip_fopen_index(zip, e.index, 0));
  if (!in) throwZipError("Cannot open " + e.name, zip_get_error(zip));
  auto buf = std::make_unique<char[]>(64 * 1024);
  std::uint64_t total = 0;
  for (;;) {
    zip_int64_t n = zip_fread(in.get(), buf.get(), 64 * 1024);
    if (n < 0) throwZipError("Cannot read " + e.name, zip_file_get_error(in.get()));
    if (n == 0) break;
    if (static_cast<std::uint64_t>(n) > e.size - total)
      throw EZipError("Entry " + e.name + " holds more data than its header declares");
    out.write(buf.get(), static_cast<size_t>(n));
    total += static_cast<std::uint64_t>(n);
  }
  // libzip checks the CRC at the end of the data; a short entry is refused as well.
  if (total != e.size) throw EZipError("Truncated entry " + e.name);
}

// A second name for the existing `target`, so that it survives being replaced until we know the
// whole package is in place. "" when there is no target.
std::string keepOld(const std::string& folder, const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) return "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string backup = tempName(folder);
    if (::link(target.c_str(), backup.c_str()) == 0) return backup;
    if (errno != EEXIST) throwOsError("Cannot keep a copy of " + target, errno);
  }
  throwOsError("Cannot keep a copy of " + target, EEXIST);
}

void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool isUnpackTempName(const std::string& name) {
  if (name.size() != 10 || name.compare(0, 4, ".kn-") != 0) return false;
  for (size_t i = 4; i < name.size(); ++i)
    if (std::strchr(kTempAlphabet, name[i]) == nullptr || name[i] == '\0') return false;
  return true;
}

int removeUnpackLeftovers(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (!isUnpackTempName(name)) continue;
    struct stat st;
    std::string path = folder + name;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

void setUnpackRenameForTesting(RenameFunction fn) { renameFn = fn; }

void checkPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                  std::uint64_t maxUnpacked, const UnpackLog& log) {
  ZipHandle zip = openZip(zipPath, password);
  planUnpack(zip.get(), folder, maxUnpacked, log);
}

void unpackPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                   const UnpackLog& log, std::uint64_t maxUnpacked) {
  ZipHandle zip = openZip(zipPath, password);
  Plan plan = planUnpack(zip.get(), folder, maxUnpacked, log);

  std::vector<std::unique_ptr<TempFile>> staged;
  for (const Entry& e : plan.entries) {
    auto temp = std::make_unique<TempFile>(folder);
    extractEntry(zip.get(), e, *temp);
    temp->finish(folder + e.bare, newFileMode(zip.get(), e.index));
    staged.push_back(std::move(temp));
  }

  // Put every file in place; on the first failure put the earlier ones back. The replaced files
  // live on under a second name until the end.
  struct Placed {
    std::string target;
    std::string backup;  // "" when the target is new
  };
  std::vector<Placed> placed;
  std::vector<std::string> backups;
  try {
    for (size_t i = 0; i < staged.size(); ++i) {
      std::string target = folder + plan.entries[i].bare;
      std::string backup = keepOld(folder, target);
      if (!backup.empty()) backups.push_back(backup);
      if (putInPlace(staged[i]->path().c_str(), target.c_str()) != 0)
        throwOsError("Cannot replace " + plan.entries[i].bare, errno);
      staged[i]->placed();
      placed.push_back({target, backup});
    }
  } catch (const EZipError& e) {
    int lost = 0;
    for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
      int rc = it->backup.empty() ? ::unlink(it->target.c_str())
                                  : ::rename(it->backup.c_str(), it->target.c_str());
      if (rc == 0) continue;
      ++lost;
      std::erase(backups, it->backup);  // the old file's only copy: keep it
    }
    for (const auto& b : backups) ::unlink(b.c_str());
    syncFolder(folder);
    if (lost > 0)
      throw EZipError(std::string(e.what()) + "; " + std::to_string(lost) +
                      " file(s) already replaced could not be put back");
    throw EZipError(std::string(e.what()) + "; nothing was replaced, the " + std::to_string(placed.size()) +
                    " file(s) already replaced were put back");
  }
  for (const auto& b : backups) ::unlink(b.c_str());
  syncFolder(folder);
}

}  // namespace kn
