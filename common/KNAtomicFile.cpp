#include "KNAtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "KNLib.h"

namespace kn {
namespace {

constexpr std::string_view kTempInfix = ".tmp-";
constexpr size_t kTempSuffixLength = 6;  // the XXXXXX of mkostemp

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes "<name>.tmp-XXXXXX" files beside `path` whose lock can be taken: no live writer holds
// them. Anything else (other names, symbolic links, non-regular files) is left alone; failures only
// leave a leftover in place.
void removeStaleTemporaries(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + std::string(kTempInfix);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  int dfd = ::dirfd(d);
  while (dirent* entry = ::readdir(d)) {
    std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + kTempSuffixLength || !name.starts_with(prefix)) continue;
    int fd = ::openat(dfd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) continue;
    struct stat held, now;
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dfd, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(held, now))
      ::unlinkat(dfd, entry->d_name, 0);
    ::close(fd);
  }
  ::closedir(d);
}

// Creates and locks a fresh temporary file for `path`. Another writer's clean-up may remove the file
// between its creation and the lock; then it is made again.
int createLockedTemporary(const std::string& path, std::string& tmp, int& err) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    tmp = path + std::string(kTempInfix) + "XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
      err = errno;
      return -1;
    }
    struct stat mine, there;
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc == 0 && ::fstat(fd, &mine) == 0 && ::lstat(tmp.c_str(), &there) == 0 && sameFile(mine, there))
      return fd;
    ::close(fd);
  }
  err = EAGAIN;
  return -1;
}

}  // namespace

void writeFileAtomic(const std::string& path, std::string_view data, mode_t mode, ExistingMode existing) {
  writeFileAtomic(path, std::span<const std::string_view>(&data, 1), mode, existing);
}

void writeFileAtomic(const std::string& path, std::span<const std::string_view> pieces, mode_t mode,
                     ExistingMode existing) {
  const std::string what = "Cannot write file \"" + path + "\"";
  struct stat old;
  if (existing == ExistingMode::Keep && ::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;

  removeStaleTemporaries(path);
  std::string tmp;
  int err = 0;
  int fd = createLockedTemporary(path, tmp, err);
  if (fd < 0) throwOSError(what, err);
  bool ok = ::fchmod(fd, mode) == 0;
  const auto writeAll = [&](std::string_view data) {
    for (size_t done = 0; ok && done < data.size();) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n == 0) {
        ok = false, errno = EIO;  // a write that moves nothing would never finish
      } else if (errno != EINTR) {
        ok = false;
      }
    }
  };
  // Small pieces are gathered into blocks, so that a text of many short pieces is not one system
  // call each; large ones are written as they are.
  constexpr size_t kBlock = 64 * 1024;
  std::string block;
  for (std::string_view piece : pieces) {
    if (block.size() + piece.size() > kBlock) {
      writeAll(block);
      block.clear();
    }
    if (piece.size() >= kBlock) {
      writeAll(piece);
    } else {
      if (block.capacity() < kBlock) block.reserve(kBlock);
      block += piece;
    }
  }
  writeAll(block);
  ok = ok && ::fsync(fd) == 0;
  // Renamed while still locked, so no other writer's clean-up can take the file away first.
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  err = errno;
  if (!ok) ::unlink(tmp.c_str());
  ::close(fd);  // after fsync a close has nothing left to report
  if (!ok) throwOSError(what, err);
}

}  // namespace kn
