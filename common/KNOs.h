// The one seam between both programs and the operating system: files, folders, locks, other
// programs, the executable's own path, random bytes and the system's error texts.
//
// Every unit that reads a file from outside, lists a folder, writes a file, takes a file lock or
// runs a program does it here, so that the checks live in one place (a FIFO planted in place of a
// settings file never blocks a reader, a program that hangs is killed at its time-out) and every
// failure reaches the caller as the same EOSError shape, "<what>. <system message>".
//
// `os()` is the real system. Units that tests must be able to fail on purpose (the hive store, the
// unpack) take an `Os&` instead of calling `os()`; a test hands them a wrapper that refuses chosen
// writes (common/tests/KNOsFaulty.h). Every member may be called from any thread.
//
// Paths are UTF-8 text; on Linux they are passed through as bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "KNException.h"

namespace kn {

// A failed system call (open, read, write, rename, opendir...).
KN_DECLARE_EXCEPTION(EOSError, Exception);

// What a folder entry is, without following a symbolic link.
enum class EntryKind { File, Folder, Link, Other };

struct FolderEntry {
  std::string name;  // the bare name, never "." or ".."
  EntryKind kind = EntryKind::Other;
};

// How a whole-file write treats a file that is already there.
enum class ExistingMode { Replace, Keep };

struct WriteOptions {
  // Permission bits of the new file (on Windows only "read-only" follows from them: no write bit).
  unsigned mode = 0600;
  // Keep: an existing file keeps its own permission bits instead of `mode`.
  ExistingMode existing = ExistingMode::Replace;
};

// A program to run: no shell, an argument vector. argv[0] is looked up on PATH when it holds no
// path separator. Standard input is empty; standard error is discarded (see passOutput).
struct ProgramRun {
  std::vector<std::string> argv;
  // Past this the program (and every process it started) is killed and the run ends TimedOut.
  std::chrono::milliseconds timeout{30000};
  // At most this many bytes of standard output are kept; the rest is read and dropped, so that a
  // chatty program never blocks on a full pipe.
  std::size_t maxOutput = 64 * 1024;
  // Standard output and error go where the caller's go, and nothing is captured: for a program
  // whose messages are meant for the person at the command line.
  bool passOutput = false;
};

struct ProgramResult {
  enum class End {
    Exited,      // `exitCode` is the program's exit status
    Killed,      // ended by a signal or an exception of its own; `exitCode` is that number
    TimedOut,    // killed at its time-out
    NotStarted,  // could not be started; `exitCode` is the system's error code (errorText)
  };
  End end = End::NotStarted;
  int exitCode = -1;
  std::string output;        // standard output, at most maxOutput bytes
  bool outputCut = false;    // more was written than kept

  bool exitedWith(int code) const { return end == End::Exited && exitCode == code; }
};

// An exclusive lock on a file, held until the object goes (or release()). Locks are advisory:
// they keep out other holders of this kind of lock (another instance of the program), nothing else.
class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { release(); }

  bool held() const { return handle_ != kNone; }
  void release() noexcept;

 private:
  friend class SystemOs;
  static constexpr std::intptr_t kNone = -1;
  explicit FileLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = kNone;  // a descriptor on Linux, a HANDLE on Windows
};

enum class LockWait { Wait, Try };

// A regular file open for reading (see Os::openFile). Each read throws EOSError "Cannot read file
// "<path>". <reason>".
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Up to `size` bytes from the current position; 0 at the end of the file.
  virtual std::size_t read(char* buf, std::size_t size) = 0;
  // Up to `size` bytes from `offset`, the current position left alone; 0 at or past the end.
  virtual std::size_t readAt(std::uint64_t offset, char* buf, std::size_t size) = 0;
  // The size the system gave when the file was opened (files of /proc and /sys say 0 or 4096,
  // whatever they hold).
  virtual std::uint64_t size() const = 0;
};

// A new file being written piece by piece (see Os::createFile). Closed (and, unless sync() or
// close() was called, left unflushed) when the object goes; a failure there is not reported, so
// a writer that cares calls close().
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Each throws EOSError "Cannot write file "<path>". <reason>".
  virtual void append(std::string_view data) = 0;
  virtual void sync() = 0;   // to disk
  virtual void close() = 0;  // idempotent
};

class Os {
 public:
  virtual ~Os() = default;

  // The whole of a regular file, unconverted. Opened without waiting: anything but a regular file
  // (a FIFO, a device, a folder) throws EOSError "Cannot read file "<path>". It is not a regular
  // file"; a file of more than `maxBytes` bytes throws "... It is larger than N bytes"; a missing
  // or unreadable one throws "Cannot open file "<path>". <reason>".
  // Every system reads it through openFile.
  virtual std::string readFile(const std::string& path, std::size_t maxBytes);

  // A regular file, opened for reading as readFile opens it (without waiting, anything else
  // refused), for what is read in parts: the first bytes, block by block, at an offset.
  virtual std::unique_ptr<InputFile> openFile(const std::string& path) = 0;

  // The entries of a folder in the order the system lists them, "." and ".." left out. A missing
  // folder gives an empty list; anything else that stops the listing throws EOSError.
  virtual std::vector<FolderEntry> listFolder(const std::string& path) = 0;

  // Replaces `path` with the text of `pieces`, one after the other, written whole or not at all:
  // a locked temporary file "<path>.tmp-XXXXXX" beside it, flushed to disk, renamed over `path`,
  // so a crash leaves either the old file or the new one. Temporaries of the same path that a
  // crashed writer left (no live writer holds them) are removed first. Throws EOSError "Cannot
  // write file "<path>". <reason>"; the old file then stays as it was and no temporary is left.
  virtual void writeFile(const std::string& path, std::span<const std::string_view> pieces,
                         const WriteOptions& options) = 0;

  // A new file at `path`, which must not exist yet (nor be a symbolic link), with permission bits
  // `mode`. Throws EOSError "Cannot create file "<path>". <reason>".
  virtual std::unique_ptr<OutputFile> createFile(const std::string& path, unsigned mode) = 0;

  // Renames `from` to `to`, replacing a file at `to`, in one step. Throws EOSError "Cannot rename
  // "<from>" to "<to>". <reason>".
  virtual void renamePath(const std::string& from, const std::string& to) = 0;

  // Removes a file (or an empty folder). False when there was nothing to remove; throws EOSError
  // "Cannot remove "<path>". <reason>" for any other failure.
  virtual bool removePath(const std::string& path) = 0;

  // Creates a folder (and its missing parents, with the same bits); an existing folder is fine.
  // Throws EOSError "Cannot create folder "<path>". <reason>".
  virtual void makeFolder(const std::string& path, unsigned mode) = 0;

  // An exclusive lock on `path`, created (mode 0600) when missing. Wait blocks until the lock is
  // free; Try gives a lock that is not held() when another holder has it. Throws EOSError "Cannot
  // lock file "<path>". <reason>" when the file cannot be opened or locked.
  virtual FileLock lockFile(const std::string& path, LockWait wait) = 0;

  // Runs a program and waits for it, at most `run.timeout`. Never throws for the program's sake:
  // every way it can end is in the result.
  virtual ProgramResult runProgram(const ProgramRun& run) = 0;

  // The full path of the running executable's image (on Linux the file it was started from, even
  // when that file has since been replaced). Throws EOSError when the system cannot tell.
  virtual std::string executablePath() = 0;

  // Fills `out` from the system's cryptographic random source. Throws EOSError when it fails.
  virtual void randomBytes(std::span<std::uint8_t> out) = 0;

  // The system's English text for an error code (errno on Linux, GetLastError on Windows),
  // whatever the process's locale: "No such file or directory".
  virtual std::string errorText(int code) = 0;
};

// The real operating system.
Os& os();

// The characters that end a folder's name in a path: "/" on Linux, "\\" and "/" on Windows.
extern const std::string_view kPathSeparators;

// The calling thread's last system error code (errno, GetLastError).
int lastOSError();

// A few of the system's error codes, for code and tests that must name one.
struct OSErrors {
  int notFound;      // ENOENT, ERROR_FILE_NOT_FOUND
  int accessDenied;  // EACCES, ERROR_ACCESS_DENIED
  int diskFull;      // ENOSPC, ERROR_DISK_FULL
};
extern const OSErrors kOSErrors;

// Throws EOSError "<what>. <os().errorText(code)>".
[[noreturn]] void throwOSError(const std::string& what, int code);

// Convenience: writeFile with one piece.
inline void writeFileWhole(Os& sys, const std::string& path, std::string_view data,
                           const WriteOptions& options = {}) {
  sys.writeFile(path, std::span<const std::string_view>(&data, 1), options);
}

}  // namespace kn
