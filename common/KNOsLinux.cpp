// The OS seam on Linux: POSIX calls, each failure turned into EOSError here and nowhere else.
#include "KNOs.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "KNFd.h"

extern char** environ;

namespace kn {

namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// ---- Whole-file writes ------------------------------------------------------------------------

constexpr std::string_view kTempInfix = ".tmp-";
constexpr size_t kTempSuffixLength = 6;  // the XXXXXX of mkostemp

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

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

// Writes all of `data`; false (errno set) on failure.
bool writeAll(int fd, std::string_view data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      errno = EIO;  // a write that moves nothing would never finish
      return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

class PosixOutputFile final : public OutputFile {
 public:
  PosixOutputFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void append(std::string_view data) override {
    if (fd_ < 0) fail(EBADF);
    if (!writeAll(fd_, data)) fail(errno);
  }
  void sync() override {
    if (fd_ < 0) fail(EBADF);
    if (::fsync(fd_) != 0) fail(errno);
  }
  void close() override {
    if (fd_ < 0) return;
    // Released before the call: a descriptor whose close failed must not be closed again.
    if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) fail(errno);
  }

 private:
  [[noreturn]] void fail(int err) { throwOSError("Cannot write file " + quoted(path_), err); }
  std::string path_;
  int fd_;
};

class PosixInputFile final : public InputFile {
 public:
  PosixInputFile(std::string path, Fd fd, std::uint64_t size) : path_(std::move(path)), fd_(std::move(fd)), size_(size) {}

  std::size_t read(char* buf, std::size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_.get(), buf, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throwOSError("Cannot read file " + quoted(path_), errno);
    }
  }
  std::size_t readAt(std::uint64_t offset, char* buf, std::size_t size) override {
    for (;;) {
      ssize_t n = ::pread(fd_.get(), buf, size, static_cast<off_t>(offset));
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throwOSError("Cannot read file " + quoted(path_), errno);
    }
  }
  std::uint64_t size() const override { return size_; }

 private:
  std::string path_;
  Fd fd_;
  std::uint64_t size_;
};

// ---- Programs ---------------------------------------------------------------------------------

using Steady = std::chrono::steady_clock;

void killAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int remainingMs(Steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return left < 0 ? 0 : left > 60000 ? 60000 : int(left);
}

ProgramResult finished(int status) {
  ProgramResult r;
  if (WIFEXITED(status)) {
    r.end = ProgramResult::End::Exited;
    r.exitCode = WEXITSTATUS(status);
  } else {
    r.end = ProgramResult::End::Killed;
    r.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  }
  return r;
}

// ---- The system -------------------------------------------------------------------------------

}  // namespace

class SystemOs final : public Os {
 public:
  std::unique_ptr<InputFile> openFile(const std::string& path) override {
    // O_NONBLOCK: opening a FIFO in place of a settings file must not hang the reader.
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (f.get() < 0) throwOSError("Cannot open file " + quoted(path), errno);
    struct stat st;
    if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
      throw EOSError("Cannot read file " + quoted(path) + ". It is not a regular file");
    return std::make_unique<PosixInputFile>(path, std::move(f), static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0)));
  }

  std::vector<FolderEntry> listFolder(const std::string& path) override {
    std::vector<FolderEntry> entries;
    DIR* d = ::opendir(path.c_str());
    if (!d) {
      if (errno == ENOENT) return entries;
      throwOSError("Cannot list folder " + quoted(path), errno);
    }
    int dfd = ::dirfd(d);
    for (;;) {
      errno = 0;
      dirent* e = ::readdir(d);
      if (!e) {
        int err = errno;
        ::closedir(d);
        if (err) throwOSError("Cannot list folder " + quoted(path), err);
        return entries;
      }
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
          type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_FIFO;
      }
      EntryKind kind = type == DT_REG ? EntryKind::File
                       : type == DT_DIR ? EntryKind::Folder
                       : type == DT_LNK ? EntryKind::Link
                                        : EntryKind::Other;
      entries.push_back({std::string(name), kind});
    }
  }

  void writeFile(const std::string& path, std::span<const std::string_view> pieces,
                 const WriteOptions& options) override {
    const std::string what = "Cannot write file " + quoted(path);
    mode_t mode = options.mode & 07777;
    struct stat old;
    if (options.existing == ExistingMode::Keep && ::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;

    removeStaleTemporaries(path);
    std::string tmp;
    int err = 0;
    int fd = createLockedTemporary(path, tmp, err);
    if (fd < 0) throwOSError(what, err);
    bool ok = ::fchmod(fd, mode) == 0;
    // Small pieces are gathered into blocks, so that a text of many short pieces is not one system
    // call each; large ones are written as they are.
    constexpr size_t kBlock = 64 * 1024;
    std::string block;
    for (std::string_view piece : pieces) {
      if (!ok) break;
      if (block.size() + piece.size() > kBlock) {
        ok = writeAll(fd, block);
        block.clear();
      }
      if (piece.size() >= kBlock) {
        ok = ok && writeAll(fd, piece);
      } else {
        if (block.capacity() < kBlock) block.reserve(kBlock);
        block += piece;
      }
    }
    ok = ok && writeAll(fd, block);
    ok = ok && ::fsync(fd) == 0;
    // Renamed while still locked, so no other writer's clean-up can take the file away first.
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    err = errno;
    if (!ok) ::unlink(tmp.c_str());
    ::close(fd);  // after fsync a close has nothing left to report
    if (!ok) throwOSError(what, err);
  }

  std::unique_ptr<OutputFile> createFile(const std::string& path, unsigned mode) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode & 07777);
    if (fd < 0) throwOSError("Cannot create file " + quoted(path), errno);
    return std::make_unique<PosixOutputFile>(path, fd);
  }

  void renamePath(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0)
      throwOSError("Cannot rename " + quoted(from) + " to " + quoted(to), errno);
  }

  bool removePath(const std::string& path) override {
    if (::unlink(path.c_str()) == 0) return true;
    int err = errno;
    if (err == EISDIR || err == EPERM) {  // a folder: EISDIR on Linux, EPERM where POSIX allows it
      if (::rmdir(path.c_str()) == 0) return true;
      err = errno;
    }
    if (err == ENOENT) return false;
    throwOSError("Cannot remove " + quoted(path), err);
  }

  void makeFolder(const std::string& path, unsigned mode) override {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
      std::string part = at == std::string::npos ? path : path.substr(0, at);
      if (!part.empty() && ::mkdir(part.c_str(), mode & 07777) != 0 && errno != EEXIST)
        throwOSError("Cannot create folder " + quoted(path), errno);
      if (at == std::string::npos) break;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throwOSError("Cannot create folder " + quoted(path), errno);
    if (!S_ISDIR(st.st_mode)) throwOSError("Cannot create folder " + quoted(path), ENOTDIR);
  }

  FileLock lockFile(const std::string& path, LockWait wait) override {
    const std::string what = "Cannot lock file " + quoted(path);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) throwOSError(what, errno);
    const int op = LOCK_EX | (wait == LockWait::Try ? LOCK_NB : 0);
    while (::flock(fd, op) != 0) {
      int err = errno;
      if (err == EINTR) continue;
      ::close(fd);
      if (err == EWOULDBLOCK && wait == LockWait::Try) return FileLock();
      throwOSError(what, err);
    }
    return FileLock(fd);
  }

  ProgramResult runProgram(const ProgramRun& run) override {
    ProgramResult result;
    if (run.argv.empty()) {
      result.exitCode = EINVAL;
      return result;
    }
    const Steady::time_point deadline = Steady::now() + run.timeout;
    std::vector<char*> argv;
    for (const auto& a : run.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (!run.passOutput && ::pipe2(fds, O_CLOEXEC) != 0) {
      result.exitCode = errno;
      return result;
    }
    Fd readEnd(fds[0]), writeEnd(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!run.passOutput) {
      posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // The program starts with no signal blocked and the usual ones at their defaults, whatever the
    // calling thread blocks or ignores, in a process group of its own that a time-out kills whole.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    writeEnd.reset();
    if (rc != 0) {
      result.exitCode = rc;
      return result;
    }

    std::string output;
    bool cut = false;
    char buf[4096];
    while (readEnd.get() >= 0) {
      pollfd p{readEnd.get(), POLLIN, 0};
      int n = ::poll(&p, 1, remainingMs(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {  // time is up (or poll failed): the run is abandoned
        killAndReap(pid);
        result.end = ProgramResult::End::TimedOut;
        result.output = std::move(output);
        result.outputCut = cut;
        return result;
      }
      ssize_t got = ::read(readEnd.get(), buf, sizeof buf);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) break;  // end of output
      size_t keep = std::min<size_t>(size_t(got), run.maxOutput - output.size());
      if (keep < size_t(got)) cut = true;
      output.append(buf, keep);
    }
    readEnd.reset();

    // The output has ended; the program normally exits at the same moment.
    for (;;) {
      int status = 0;
      pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid) {
        result = finished(status);
        break;
      }
      if (w < 0 && errno != EINTR) {  // not our child any more (SIGCHLD ignored): its status is lost
        result.end = ProgramResult::End::Killed;
        result.exitCode = -1;
        break;
      }
      if (Steady::now() >= deadline) {
        killAndReap(pid);
        result.end = ProgramResult::End::TimedOut;
        break;
      }
      timespec pause{0, 1000000};  // 1 ms
      ::nanosleep(&pause, nullptr);
    }
    result.output = std::move(output);
    result.outputCut = cut;
    return result;
  }

  std::string executablePath() override {
    // /proc/self/exe is the running image even when its file has since been replaced or removed.
    std::string path(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) throwOSError("Cannot tell the executable's path", n < 0 ? errno : ENAMETOOLONG);
    path.resize(static_cast<size_t>(n));
    // A replaced image reads "<path> (deleted)"; its folder and name are still the program's own.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path;
  }

  void randomBytes(std::span<std::uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        throwOSError("Cannot read random bytes", errno);
      }
    }
  }

  std::string errorText(int code) override {
    // strerrordesc_np is the untranslated text, independent of LC_MESSAGES.
    const char* text = strerrordesc_np(code);
    return text ? text : "Unknown error " + std::to_string(code);
  }
};

void FileLock::release() noexcept {
  if (handle_ != kNone) ::close(static_cast<int>(std::exchange(handle_, kNone)));
}

const std::string_view kPathSeparators = "/";
const OSErrors kOSErrors{ENOENT, EACCES, ENOSPC};

Os& os() {
  static SystemOs system;
  return system;
}

int lastOSError() { return errno; }

void throwOSError(const std::string& what, int code) { throw EOSError(what + ". " + os().errorText(code)); }

}  // namespace kn
