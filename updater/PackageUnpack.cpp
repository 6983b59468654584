#include "PackageUnpack.h"

#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "PackageUnpackSystem.h"
#include "UpdateStop.h"
#include "KNPath.h"

namespace kn {
namespace {

namespace fs = std::filesystem;

// Unix file types in an archive's external attributes (the mode's upper bits), whatever the
// system unpacking it.
constexpr std::uint32_t kUnixTypeMask = 0170000;
constexpr std::uint32_t kUnixRegular = 0100000;
constexpr std::uint32_t kUnixLink = 0120000;

// What is at `path`, a symbolic link not followed: not_found when nothing, none when the system
// cannot tell.
fs::file_type typeAt(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(fsPath(path), ec).type();
}

// Removes a file of ours that is no longer needed; one that cannot be removed stays, as a
// leftover that the next start removes.
void removeQuietly(Os& sys, const std::string& path) {
  try {
    sys.removePath(path);
  } catch (const EOSError&) {
  }
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
std::uint64_t declaredEntries(Os& sys, const std::string& zipPath) try {
  std::unique_ptr<InputFile> in = sys.openFile(zipPath);
  // `n` bytes at `at`; false when the file has not that many there.
  auto readAt = [&in](std::uint64_t at, unsigned char* out, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
      std::size_t r = in->readAt(at + got, reinterpret_cast<char*>(out) + got, n - got);
      if (r == 0) return false;
      got += r;
    }
    return true;
  };
  const std::uint64_t size = in->size();
  if (size < 22) return 0;
  // The end record (22 bytes and a comment of at most 65,535) and the 20-byte zip64 locator.
  std::vector<unsigned char> tail(static_cast<size_t>(std::min<std::uint64_t>(size, 22 + 65535 + 20)));
  if (!readAt(size - tail.size(), tail.data(), tail.size())) return 0;
  for (size_t i = tail.size() - 22 + 1; i-- > 0;) {
    if (std::memcmp(&tail[i], "PK\5\6", 4) != 0) continue;
    std::uint64_t count = le16(&tail[i + 10]);
    unsigned char z64[56];
    if (count == 0xffff && i >= 20 && std::memcmp(&tail[i - 20], "PK\6\7", 4) == 0 &&
        readAt(le64(&tail[i - 20 + 8]), z64, sizeof z64) && std::memcmp(z64, "PK\6\6", 4) == 0)
      count = le64(z64 + 32);
    return count;
  }
  return 0;
} catch (const EOSError&) {
  return 0;  // libzip then says what is wrong with the file
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
  std::unordered_map<std::string, size_t> byName;  // by the system's idea of one name
  std::vector<std::string> keepOut;
  for (const std::string& name : o.keepOut) keepOut.push_back(unpack::nameKey(name));
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
      std::uint32_t type = (attributes >> 16) & kUnixTypeMask;
      if (type != 0 && type != kUnixRegular) {
        if (o.log)
          o.log(std::string(type == kUnixLink ? "Skipped symbolic link " : "Skipped non-regular entry ") +
                st.name);
        continue;
      }
    }
    if (isUnpackTempName(bare)) {
      if (o.log) o.log(std::string("Skipped entry with a reserved name ") + st.name);
      continue;
    }
    if (std::string problem = unpack::nameProblem(folder, bare); !problem.empty())
      throw EZipError("Entry " + shown(st.name) + " " + problem);
    std::string key = unpack::nameKey(bare);
    if (std::find(keepOut.begin(), keepOut.end(), key) != keepOut.end())
      throw EZipError("Entry " + shown(st.name) + " would replace " + shown(bare) +
                      ", which belongs to the updater itself");
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
    auto [at, fresh] = byName.emplace(std::move(key), entries.size());
    if (fresh) {
      entries.push_back(std::move(e));
    } else {
      total -= entries[at->second].size;  // the earlier entry of that name is not written
      entries[at->second] = std::move(e);
    }
  }
  if (entries.empty()) throw EZipError("The package holds no file to install");
  for (const Entry& e : entries) {
    // A target the system cannot look at is left to the write to refuse.
    fs::file_type type = typeAt(folder + e.bare);
    if (type != fs::file_type::not_found && type != fs::file_type::none && type != fs::file_type::regular)
      throw EZipError("Cannot install " + shown(e.bare) + ": something other than a file is in the way");
  }
  return entries;
}

// A temporary file in the folder, removed again unless it was put in place.
class TempFile {
 public:
  TempFile(Os& sys, const std::string& folder) : sys_(sys) {
    for (int attempt = 0; attempt < 100 && !out_; ++attempt) {
      path_ = tempName(folder);
      try {
        out_ = sys.createFile(path_, 0600);
      } catch (const EOSError&) {
        if (typeAt(path_) == fs::file_type::not_found) throw;  // not a name taken: a real failure
      }
    }
    if (!out_) throw EZipError("Cannot create a temporary file in " + folder + ": every name tried is taken");
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    out_.reset();
    if (!placed_) removeQuietly(sys_, path_);
  }

  void write(const char* data, size_t n) { out_->append(std::string_view(data, n)); }

  // Closes the file and gives it the target's owner, group and mode when the target exists, else
  // `newMode`. The caller flushes the folder's file system once for all files.
  void finish(const std::string& target, unsigned newMode) {
    out_->close();
    unpack::takeOverAttributes(path_, target, newMode);
  }

  const std::string& path() const { return path_; }
  void placed() { placed_ = true; }

 private:
  Os& sys_;
  std::string path_;
  std::unique_ptr<OutputFile> out_;
  bool placed_ = false;
};

// The mode a new file gets: the archive's permission bits without set-id, sticky and group or
// other write (the updater runs as root and the files it unpacks are programs), else 0644.
unsigned newFileMode(zip_t* zip, zip_uint64_t index) {
  zip_uint8_t opsys;
  zip_uint32_t attributes;
  if (zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX) {
    unsigned mode = (attributes >> 16) & 0755;
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
  if (typeAt(target) == fs::file_type::not_found) return "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string backup = tempName(folder);
    if (unpack::addSecondName(target, backup)) return backup;
  }
  throw EZipError("Cannot keep a copy of " + target + ": every name tried is taken");
}

}  // namespace

bool isUnpackTempName(const std::string& name) {
  if (name.size() != 10 || name.compare(0, 4, ".kn-") != 0) return false;
  for (size_t i = 4; i < name.size(); ++i)
    if (std::strchr(kTempAlphabet, name[i]) == nullptr || name[i] == '\0') return false;
  return true;
}

int removeUnpackLeftovers(const std::string& folder, Os& sys) {
  std::vector<FolderEntry> entries;
  try {
    entries = sys.listFolder(folder);
  } catch (const EOSError&) {
    return 0;
  }
  int removed = 0;
  for (const FolderEntry& e : entries) {
    if (e.kind != EntryKind::File || !isUnpackTempName(e.name)) continue;
    try {
      if (sys.removePath(folder + e.name)) ++removed;
    } catch (const EOSError&) {
    }
  }
  return removed;
}

struct PreparedPackage::State {
  explicit State(Os& sys) : sys(sys) {}
  Os& sys;
  std::string folder;
  std::stop_token stop;
  std::chrono::milliseconds inUseWait{0};
  std::vector<Entry> entries;
  std::vector<std::unique_ptr<TempFile>> staged;  // one per entry
};

PreparedPackage::PreparedPackage(const std::string& zipPath, const std::string& folder,
                                 const std::string& password, const UnpackOptions& options, Os& sys)
    : s_(std::make_unique<State>(sys)) {
  try {
    prepare(zipPath, password, folder, options);
  } catch (const EOSError& e) {
    throw EZipError(e.what());  // a file that cannot be written makes a package that cannot be installed
  }
}

void PreparedPackage::prepare(const std::string& zipPath, const std::string& password, const std::string& folder,
                              const UnpackOptions& options) {
  s_->folder = folder;
  s_->stop = options.stop;
  s_->inUseWait = options.inUseWait;
  if (declaredEntries(s_->sys, zipPath) > options.maxEntries) throwTooManyEntries(options.maxEntries);
  ZipHandle zip = openZip(zipPath, password);
  s_->entries = planUnpack(zip.get(), folder, options);
  s_->staged.reserve(s_->entries.size());
  constexpr size_t kBlock = 64 * 1024;
  auto buf = std::make_unique<char[]>(kBlock);
  for (const Entry& e : s_->entries) {
    auto temp = std::make_unique<TempFile>(s_->sys, folder);
    extractEntry(zip.get(), e, *temp, buf.get(), kBlock, options.stop);
    temp->finish(folder + e.bare, newFileMode(zip.get(), e.index));
    s_->staged.push_back(std::move(temp));
  }
  unpack::flushFolder(folder);
}

PreparedPackage::~PreparedPackage() = default;

std::vector<std::string> PreparedPackage::targets() const {
  std::vector<std::string> names;
  names.reserve(s_->entries.size());
  for (const Entry& e : s_->entries) names.push_back(e.bare);
  return names;
}

void PreparedPackage::install(const std::function<void(const std::vector<StagedFile>&)>& commit) {
  try {
    putInPlace(commit);
  } catch (const EOSError& e) {
    throw EZipError(e.what());
  }
}

void PreparedPackage::putInPlace(const std::function<void(const std::vector<StagedFile>&)>& commit) {
  const std::string& folder = s_->folder;
  Os& sys = s_->sys;
  auto bare = [&](const std::string& path) { return path.empty() ? path : path.substr(folder.size()); };
  std::vector<StagedFile> files;
  files.reserve(s_->entries.size());
  // The replaced files live on under a second name until the end; they go whatever happens.
  struct Backups {
    Os& sys;
    const std::string& folder;
    const std::vector<StagedFile>& files;
    ~Backups() {
      for (const StagedFile& f : files)
        if (!f.backup.empty()) removeQuietly(sys, folder + f.backup);
      unpack::flushFolder(folder);
    }
  } backups{sys, folder, files};
  // A program that has just stopped may hold its files a moment longer (on Windows an open file
  // cannot be replaced): wait for them, a bounded time, before anything changes.
  const auto deadline = std::chrono::steady_clock::now() + s_->inUseWait;
  for (const Entry& e : s_->entries) {
    std::string target = folder + e.bare;
    if (typeAt(target) == fs::file_type::regular && !unpack::awaitReplaceable(target, deadline, s_->stop)) {
      throwIfStopped(s_->stop);
      throw EZipError("Cannot replace " + shown(e.bare) + ": another program still holds it open");
    }
  }
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
      try {
        sys.renamePath(s_->staged[placed]->path(), target);
      } catch (const EOSError& e) {
        throw EZipError("Cannot replace " + shown(files[placed].target) + ": " + e.what());
      }
      s_->staged[placed]->placed();
    }
  } catch (const Exception& e) {
    int lost = 0;
    for (size_t i = placed; i-- > 0;) {
      const StagedFile& f = files[i];
      std::string target = folder + f.target;
      try {
        if (f.backup.empty())
          sys.removePath(target);
        else
          sys.renamePath(folder + f.backup, target);
        continue;
      } catch (const EOSError&) {
      }
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
                   const UnpackOptions& options, Os& sys) {
  PreparedPackage(zipPath, folder, password, options, sys).install();
}

int finishStagedInstall(const std::string& folder, const std::vector<StagedFile>& files, Os& sys) {
  auto ours = [](const std::string& name) { return name.empty() || isUnpackTempName(name); };
  int placed = 0;
  for (const StagedFile& f : files) {
    std::string bare = bareName(f.target.c_str());
    if (bare != f.target || bare.empty() || !isUnpackTempName(f.temp) || !ours(f.backup)) continue;
    std::string temp = folder + f.temp;
    if (typeAt(temp) != fs::file_type::regular) continue;
    try {
      sys.renamePath(temp, folder + bare);
      ++placed;
    } catch (const EOSError&) {
    }
  }
  for (const StagedFile& f : files)
    if (!f.backup.empty() && isUnpackTempName(f.backup)) removeQuietly(sys, folder + f.backup);
  unpack::flushFolder(folder);
  return placed;
}

}  // namespace kn
