#include "WUServiceUpdater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <thread>

#include "KNServiceControl.h"
#include "knHttpGet.h"
#include "knLOG2.h"
#include "knWebUpdateChecker.h"

namespace kn {
namespace {

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

// The one place where libzip's errors become our exceptions.
[[noreturn]] void throwZipError(const std::string& what, zip_error_t* err) {
  throw EZipError(what + ": " + zip_error_strerror(err));
}

[[noreturn]] void throwOsError(const std::string& what, int err) {
  throw EZipError(what + ": " + std::strerror(err));
}

// The entry's file name without any folder; "" for a folder entry or a name that is only dots.
std::string bareName(const char* stored) {
  std::string_view name = stored;
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name == "." || name == "..") return "";
  return std::string(name);
}

// A temporary file beside its target, removed again unless it was renamed into place.
class TempFile {
 public:
  TempFile(const std::string& folder, const std::string& bare) : path_(folder + "." + bare + ".XXXXXX") {
    fd_ = ::mkstemp(path_.data());
    if (fd_ < 0) throwOsError("Cannot create a temporary file for " + bare, errno);
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
      if (w < 0) throwOsError("Cannot write " + path_, errno);
      data += w;
      n -= static_cast<size_t>(w);
    }
  }

  // Flushes the content to disk, sets the mode and closes the file.
  void finish(mode_t mode) {
    if (::fchmod(fd_, mode) != 0 || ::fsync(fd_) != 0) throwOsError("Cannot write " + path_, errno);
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throwOsError("Cannot write " + path_, errno);
  }

  void renameOver(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) throwOsError("Cannot replace " + target, errno);
    placed_ = true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool placed_ = false;
};

// The permission bits the unpacked file gets: the replaced file's, else the archive's, else 0644.
// From an archive come neither set-id and sticky bits nor write access for group and others: the
// updater runs as root and the files it unpacks are programs.
mode_t modeFor(zip_t* zip, zip_uint64_t index, const std::string& target) {
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
  zip_uint8_t opsys;
  zip_uint32_t attributes;
  if (zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX) {
    mode_t mode = (attributes >> 16) & 0755;
    if (mode != 0) return mode;
  }
  return 0644;
}

void extractEntry(zip_t* zip, zip_uint64_t index, const zip_stat_t& st, TempFile& out) {
  std::unique_ptr<zip_file_t, ZipFileCloser> in(zip_fopen_index(zip, index, 0));
  if (!in) throwZipError(std::string("Cannot open ") + st.name, zip_get_error(zip));
  char buf[64 * 1024];
  zip_uint64_t total = 0;
  for (;;) {
    zip_int64_t n = zip_fread(in.get(), buf, sizeof buf);
    if (n < 0) throwZipError(std::string("Cannot read ") + st.name, zip_file_get_error(in.get()));
    if (n == 0) break;
    out.write(buf, static_cast<size_t>(n));
    total += static_cast<zip_uint64_t>(n);
  }
  // libzip checks the CRC at the end of the data; a short entry is refused as well.
  if ((st.valid & ZIP_STAT_SIZE) && total != st.size)
    throw EZipError(std::string("Truncated entry ") + st.name);
}

}  // namespace

void unpackPackage(const std::string& zipPath, const std::string& folder, const std::string& password) {
  int code = 0;
  std::unique_ptr<zip_t, ZipCloser> zip(zip_open(zipPath.c_str(), ZIP_RDONLY, &code));
  if (!zip) {
    zip_error_t err;
    zip_error_init_with_code(&err, code);
    std::string what = "Cannot open " + zipPath;
    EZipError e(what + ": " + zip_error_strerror(&err));
    zip_error_fini(&err);
    throw e;
  }
  zip_set_default_password(zip.get(), password.c_str());

  // Bare name -> its extracted copy; a later entry of the same bare name wins, as it would have
  // when written in order.
  std::map<std::string, std::unique_ptr<TempFile>> staged;
  zip_int64_t count = zip_get_num_entries(zip.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t st;
    if (zip_stat_index(zip.get(), index, 0, &st) != 0)
      throwZipError("Cannot read entry", zip_get_error(zip.get()));
    std::string bare = bareName(st.name);
    if (bare.empty()) continue;
    std::string target = folder + bare;
    auto temp = std::make_unique<TempFile>(folder, bare);
    extractEntry(zip.get(), index, st, *temp);
    temp->finish(modeFor(zip.get(), index, target));
    staged[bare] = std::move(temp);
  }
  // An archive with no file to install is no update: refuse it rather than report it installed.
  if (staged.empty()) throw EZipError("Cannot install " + zipPath + ": the package holds no file");
  for (auto& [bare, temp] : staged) temp->renameOver(folder + bare);
}

TWUServiceUpdater::TWUServiceUpdater(std::string exename, std::string appid, std::string service,
                                     std::string folder)
    : exename_(std::move(exename)),
      appid_(std::move(appid)),
      service_(std::move(service)),
      folder_(std::move(folder)) {}

std::string TWUServiceUpdater::packageFile() const {
  std::string name = appid_ + ".zip";
  std::replace(name.begin(), name.end(), '/', '_');  // it stays in the updater's folder
  return folder_ + name;
}

void TWUServiceUpdater::updLog(const std::string& text) const { logTo(exename_, "UPD: " + text); }

void TWUServiceUpdater::Execute() {
  doDownload();
  stopService();
  try {
    doInstall();
  } catch (...) {
    startService();
    throw;
  }
  startService();
}

void TWUServiceUpdater::doDownload() {
  updLog("Downloading " + appid_ + ".pkg...");
  std::string file = packageFile();
  std::remove(file.c_str());
  httpGetToFile(updateServerBase() + appid_ + ".pkg", file);
  updLog("Download finished OK");
}

void TWUServiceUpdater::awaitState(int wanted) const {
  int state = 0;
  int attempt = 0;
  do {
    state = serviceControl().queryState(service_);
    ++attempt;
    updLog("  checking status " + std::to_string(state) + " attempt " + std::to_string(attempt));
    std::this_thread::sleep_for(updaterTicks().servicePoll);
  } while (state != 0 && state != wanted && attempt <= 20);
}

void TWUServiceUpdater::stopService() {
  if (service_.empty()) return;
  updLog("StopService:...");
  updLog(serviceControl().requestStop(service_) ? "  1" : "  0");
  awaitState(1);
  updLog("StopService: Done");
}

void TWUServiceUpdater::startService() {
  if (service_.empty()) return;
  updLog("StartService:...");
  updLog(serviceControl().requestStart(service_) ? "  1" : "  0");
  awaitState(4);
  updLog("StartService: Done");
}

void TWUServiceUpdater::doInstall() {
  std::string file = packageFile();
  updLog("Installing update:...");
  unpackPackage(file, folder_, kPackagePassword);
  updLog("Installing update: OK, removing update file...");
  std::remove(file.c_str());
  updLog("Installing update: OK, removed update file: OK");
}

}  // namespace kn
