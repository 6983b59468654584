#include "PackageUnpack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "UpdateStop.h"

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

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint64_t le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The number of entries the archive's end record declares, read before libzip loads the whole
// directory into memory (some 300 bytes an entry); 0 when no end record is found, which leaves
// the decision to libzip.
std::uint64_t declaredEntries(const std::string& zipPath) {
  int fd = ::open(zipPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::uint64_t count = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size >= 22) {
    // The end record (22 bytes and a comment of at most 65,535) and the 20-byte zip64 locator.
    std::vector<unsigned char> tail(static_cast<size_t>(std::min<off_t>(st.st_size, 22 + 65535 + 20)));
    off_t at = st.st_size - static_cast<off_t>(tail.size());
    if (::pread(fd, tail.data(), tail.size(), at) == static_cast<ssize_t>(tail.size())) {
      for (size_t i = tail.size() - 22 + 1; i-- > 0;) {
        if (std::memcmp(&tail[i], "PK\5\6", 4) != 0) continue;
        count = le16(&tail[i + 10]);
        unsigned char z64[56];
        if (count == 0xffff && i >= 20 && std::memcmp(&tail[i - 20], "PK\6\7", 4) == 0 &&
            ::pread(fd, z64, sizeof z64, static_cast<off_t>(le64(&tail[i - 20 + 8]))) == sizeof z64 &&
            std::memcmp(z64, "PK\6\6", 4) == 0)
          count = le64(z64 + 32);
        break;
      }
    }
  }
  ::close(fd);
  return count;
}

[[noreturn]] void throwTooManyEntries(std::uint64_t maxEntries) {
  throw EZipError("The package holds more than " + std::to_string(maxEntries) + " entries");
}

// An entry's name as an error message shows it: long ones cut.
std::string shown(const std::string& name) { return name.size() > 100 ? name.substr(0, 100) + "..." : name; }

// Reads the archive's directory and decides what would be installed; see PreparedPackage.
std::vector<Entry> planUnpack(zip_t* zip, const std::string& folder, const UnpackOptions& o) {
  std::vector<Entry> entries;
  std::uint64_t total = 0;
  std::unordered_map<std::string, size_t> byName;
  zip_int64_t count = zip_get_num_entries(zip, 0);
  if (count > 0 && static_cast<std::uint64_t>(count) > o.maxEntries) throwTooManyEntries(o.maxEntries);
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
        if (o.log)
          o.log(std::string(type == S_IFLNK ? "Skipped symbolic link " : "Skipped non-regular entry ") +
                st.name);
        continue;
      }
    }
    if (isUnpackTempName(bare)) {
      if (o.log) o.log(std::string("Skipped entry with a reserved name ") + st.name);
      continue;
    }
    if (bare.size() > NAME_MAX || folder.size() + bare.size() >= PATH_MAX)
      throw EZipError("Entry " + shown(st.name) + " has a name longer than the file system allows");
    if (!(st.valid & ZIP_STAT_SIZE)) throw EZipError("Entry " + shown(st.name) + " declares no size");
    // A method the library cannot read is refused here, before any service is touched (opening such
    // an entry with a password set also leaks inside libzip 1.7).
    if ((st.valid & ZIP_STAT_COMP_METHOD) && !zip_compression_method_supported(st.comp_method, 0))
      throw EZipError("Entry " + shown(st.name) + " uses a compression method that cannot be read");
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE &&
        !zip_encryption_method_supported(st.encryption_method, 0))
      throw EZipError("Entry " + shown(st.name) + " uses an encryption method that cannot be read");
    if (st.size > o.maxUnpacked - total)
      throw EZipError("The package unpacks to more than " + std::to_string(o.maxUnpacked) + " bytes");
    total += st.size;
    Entry e{index, st.name, bare, st.size};
    auto [at, fresh] = byName.emplace(bare, entries.size());
    if (fresh) {
      entries.push_back(std::move(e));
    } else {
      total -= entries[at->second].size;  // the earlier entry of that name is not written
      entries[at->second] = std::move(e);
    }
  }
  if (entries.empty()) throw EZipError("The package holds no file to install");
  for (const Entry& e : entries) {
    struct stat st;
    std::string target = folder + e.bare;
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      throw EZipError("Cannot install " + shown(e.bare) + ": something other than a file is in the way");
  }
  return entries;
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

  // Gives the file the target's owner, group and mode when the target exists, else `newMode`,
  // and closes it. The caller flushes the folder's file system once for all files.
  void finish(const std::string& target, mode_t newMode) {
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {
      // The owner first: changing it clears set-id bits, which the old file may rightly carry.
      if (::fchown(fd_, st.st_uid, st.st_gid) != 0)
        throwOsError("Cannot give " + target + " its owner", errno);
      newMode = st.st_mode & 07777;
    }
    if (::fchmod(fd_, newMode) != 0) throwOsError("Cannot write " + path_, errno);
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
void extractEntry(zip_t* zip, const Entry& e, TempFile& out, char* buf, size_t bufSize,
                  const std::stop_token& stop) {
  std::unique_ptr<zip_file_t, ZipFileCloser> in(zip_fopen_index(zip, e.index, 0));
  if (!in) throwZipError("Cannot open " + shown(e.name), zip_get_error(zip));
  std::uint64_t total = 0;
  for (;;) {
    throwIfStopped(stop);
    zip_int64_t n = zip_fread(in.get(), buf, bufSize);
    if (n < 0) throwZipError("Cannot read " + shown(e.name), zip_file_get_error(in.get()));
    if (n == 0) break;
    if (static_cast<std::uint64_t>(n) > e.size - total)
      throw EZipError("Entry " + shown(e.name) + " holds more data than its header declares");
    out.write(buf, static_cast<size_t>(n));
    total += static_cast<std::uint64_t>(n);
  }
  // libzip checks the CRC (and with it the password) at the end of the data; a short entry is
  // refused as well.
  if (total != e.size) throw EZipError("Truncated entry " + shown(e.name));
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

// Flushes the folder's file system: one call for every file written into it, and the names.
void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::syncfs(fd);
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

struct PreparedPackage::State {
  std::string folder;
  std::stop_token stop;
  std::vector<Entry> entries;
  std::vector<std::unique_ptr<TempFile>> staged;  // one per entry
};

PreparedPackage::PreparedPackage(const std::string& zipPath, const std::string& folder,
                                 const std::string& password, const UnpackOptions& options)
    : s_(std::make_unique<State>()) {
  s_->folder = folder;
  s_->stop = options.stop;
  if (declaredEntries(zipPath) > options.maxEntries) throwTooManyEntries(options.maxEntries);
  ZipHandle zip = openZip(zipPath, password);
  s_->entries = planUnpack(zip.get(), folder, options);
  s_->staged.reserve(s_->entries.size());
  constexpr size_t kBlock = 64 * 1024;
  auto buf = std::make_unique<char[]>(kBlock);
  for (const Entry& e : s_->entries) {
    auto temp = std::make_unique<TempFile>(folder);
    extractEntry(zip.get(), e, *temp, buf.get(), kBlock, options.stop);
    temp->finish(folder + e.bare, newFileMode(zip.get(), e.index));
    s_->staged.push_back(std::move(temp));
  }
  syncFolder(folder);
}

PreparedPackage::~PreparedPackage() = default;

std::vector<std::string> PreparedPackage::targets() const {
  std::vector<std::string> names;
  names.reserve(s_->entries.size());
  for (const Entry& e : s_->entries) names.push_back(e.bare);
  return names;
}

void PreparedPackage::install(const std::function<void(const std::vector<StagedFile>&)>& commit) {
  const std::string& folder = s_->folder;
  auto bare = [&](const std::string& path) { return path.empty() ? path : path.substr(folder.size()); };
  std::vector<StagedFile> files;
  files.reserve(s_->entries.size());
  // The replaced files live on under a second name until the end; they go whatever happens.
  struct Backups {
    const std::string& folder;
    const std::vector<StagedFile>& files;
    ~Backups() {
      for (const StagedFile& f : files)
        if (!f.backup.empty()) ::unlink((folder + f.backup).c_str());
      syncFolder(folder);
    }
  } backups{folder, files};
  for (size_t i = 0; i < s_->entries.size(); ++i) {
    std::string target = folder + s_->entries[i].bare;
    files.push_back({s_->entries[i].bare, bare(s_->staged[i]->path()), bare(keepOld(folder, target))});
  }
  if (commit) commit(files);

  // Put every file in place; on the first failure put the earlier ones back.
  size_t placed = 0;
  try {
    for (; placed < files.size(); ++placed) {
      throwIfStopped(s_->stop);
      std::string target = folder + files[placed].target;
      if (putInPlace(s_->staged[placed]->path().c_str(), target.c_str()) != 0)
        throwOsError("Cannot replace " + shown(files[placed].target), errno);
      s_->staged[placed]->placed();
    }
  } catch (const Exception& e) {
    int lost = 0;
    for (size_t i = placed; i-- > 0;) {
      const StagedFile& f = files[i];
      std::string target = folder + f.target;
      int rc =
          f.backup.empty() ? ::unlink(target.c_str()) : ::rename((folder + f.backup).c_str(), target.c_str());
      if (rc == 0) continue;
      ++lost;
      files[i].backup.clear();  // the old file's only copy: keep it
    }
    std::string what = e.what();
    if (lost > 0)
      what += "; " + std::to_string(lost) + " file(s) already replaced could not be put back";
    else
      what +=
          "; nothing was replaced, the " + std::to_string(placed) + " file(s) already replaced were put back";
    if (dynamic_cast<const EUpdateStopped*>(&e)) throw EUpdateStopped(what);
    throw EZipError(what);
  }
}

void unpackPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                   const UnpackOptions& options) {
  PreparedPackage(zipPath, folder, password, options).install();
}

int finishStagedInstall(const std::string& folder, const std::vector<StagedFile>& files) {
  auto ours = [](const std::string& name) { return name.empty() || isUnpackTempName(name); };
  int placed = 0;
  for (const StagedFile& f : files) {
    std::string bare = bareName(f.target.c_str());
    if (bare != f.target || bare.empty() || !isUnpackTempName(f.temp) || !ours(f.backup)) continue;
    struct stat st;
    std::string temp = folder + f.temp;
    if (::lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::rename(temp.c_str(), (folder + bare).c_str()) == 0)
      ++placed;
  }
  for (const StagedFile& f : files)
    if (!f.backup.empty() && isUnpackTempName(f.backup)) ::unlink((folder + f.backup).c_str());
  syncFolder(folder);
  return placed;
}

}  // namespace kn
