// The log's files on Linux: 0640 files in a 0750 folder, handed to the group "adm" by root.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "knLOG2Files.h"

namespace kn::logfiles {
namespace {

constexpr mode_t kFileMode = 0640;
constexpr mode_t kFolderMode = 0750;
constexpr const char* kLogGroup = "adm";

// "adm" when running as root and it exists; -1: leave the group as it is.
std::atomic<gid_t> logGroupId{static_cast<gid_t>(-1)};

gid_t lookUpLogGroup() {
  if (::geteuid() != 0) return static_cast<gid_t>(-1);
  std::vector<char> buf(16384);
  struct group gr, *found = nullptr;
  if (::getgrnam_r(kLogGroup, &gr, buf.data(), buf.size(), &found) != 0 || !found)
    return static_cast<gid_t>(-1);
  return found->gr_gid;
}

// Takes away what `limit` does not allow and hands the file to the log group; `fd` may be a folder.
void tighten(int fd, mode_t limit) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  if ((st.st_mode & 07777 & ~limit) != 0) (void)::fchmod(fd, st.st_mode & limit);
  // A failed chown is not fatal: the file stays with its current group.
  const gid_t group = logGroupId.load();
  if (group != static_cast<gid_t>(-1) && st.st_gid != group &&
      ::fchown(fd, static_cast<uid_t>(-1), group) != 0)
    return;
}

}  // namespace

void begin() { logGroupId = lookUpLogGroup(); }

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void prepareFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), ec);
  bool created = ::mkdir(folder.c_str(), kFolderMode) == 0;
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (created) (void)::fchmod(fd, kFolderMode);  // whatever the umask took away
  tighten(fd, kFolderMode);
  ::close(fd);
}

void createEmpty(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kFileMode);
  if (fd < 0) return;
  (void)::fchmod(fd, kFileMode);  // whatever the umask took away
  tighten(fd, kFileMode);
  ::close(fd);
}

void append(const std::string& path, std::string_view line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  tighten(fd, kFileMode);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace kn::logfiles
