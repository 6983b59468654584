// Unpacking an update package (a ZIP archive from outside, maybe hostile) into the updater's
// folder, all or nothing. Every entry is bounded by the size its header declares, the whole
// package by a limit on its unpacked size and on its number of entries, and nothing is ever
// written outside the folder. Every file is written, renamed and removed through `sys` (the real
// system unless a test passes a failing one). Stateless; two threads may unpack into different
// folders at the same time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "KNException.h"
#include "KNOs.h"

namespace kn {

// A package that cannot be installed: not a ZIP archive, a wrong password, a corrupt entry, an
// entry larger than its header says, a name the file system cannot hold, a package over a limit,
// a target in the way, or a file that cannot be written or put in place.
KN_DECLARE_EXCEPTION(EZipError, Exception);

// The password of every package (traditional ZIP encryption); unencrypted packages are accepted too.
inline constexpr const char* kPackagePassword = "4721";

// The most a package may unpack to (the sum of its files' declared sizes), and the most a package
// download may bring.
inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kMaxPackageBytes = kMaxUnpackedBytes + (std::uint64_t{64} << 20);
// The most entries a package may hold (folders and skipped entries count). Real applications
// ship a few thousand files; checking and installing 100,000 small ones takes some 62 MB above
// the idle program and 10 to 15 s on a loaded 2-core machine, of which 4 s with the service down
// (bench/updater_bench.sh), so twice that stays within bounds.
inline constexpr std::uint64_t kMaxEntries = 200000;

// How long an install waits by default for the files of a service that has just stopped.
inline constexpr std::chrono::milliseconds kInUseWait{15000};

// Receives one line about an entry that is left out (a symbolic link, a device, a reserved name).
// The text may hold the entry's name as the archive has it: make it log-safe before logging.
using UnpackLog = std::function<void(const std::string&)>;

struct UnpackOptions {
  std::uint64_t maxUnpacked = kMaxUnpackedBytes;
  std::uint64_t maxEntries = kMaxEntries;
  UnpackLog log{};
  // Looked at between entries and between blocks of one entry; a stop throws EUpdateStopped.
  std::stop_token stop{};
  // Bare names no entry may have (the updater's own program, configuration and key): such a
  // package is refused. Compared as the system compares names.
  std::vector<std::string> keepOut{};
  // How long the install waits, in all, for files that another program still holds open (on
  // Windows such a file cannot be replaced) before it gives up with nothing changed.
  std::chrono::milliseconds inUseWait{kInUseWait};
};

// One file of a package about to be put in place, as bare names in the folder: the target, the
// temporary file that holds its new content, and the second name that keeps the file it replaces
// ("" when the target is new).
struct StagedFile {
  std::string target;
  std::string temp;
  std::string backup;
};

// A package read, checked and written into temporary files ".kn-XXXXXX" in the folder, ready to
// be put in place; nothing of the folder's own files has changed yet. The temporary files not put
// in place are removed when it is destroyed.
class PreparedPackage {
 public:
  // Opens `zipPath` and refuses (EZipError) a package that cannot be installed into `folder`
  // (ending in "/"): a directory that cannot be read or lists more than `maxEntries` entries, no
  // file, declared sizes adding up to more than `maxUnpacked`, a name the file system cannot hold
  // (too long; on Windows also a device name such as "CON" or "com1.txt", a trailing dot or blank,
  // a ":" or another character Windows forbids), a name of `keepOut`, a target that is not a
  // regular file, or an entry whose data cannot be read whole (wrong password, bad CRC, more or
  // less than declared). Then every file entry is written to a
  // temporary file, never beyond its declared size, and the files are flushed to disk. Folders
  // stored in the archive are dropped; folder entries and entries named "", "." or ".." are
  // skipped silently; symbolic links, other non-regular entries and names of our temporary
  // files are skipped and reported to `log`. A later entry of the same bare name (as the system compares names: on
  // Windows letter case aside) wins.
  PreparedPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                  const UnpackOptions& options = {}, Os& sys = os());
  PreparedPackage(const PreparedPackage&) = delete;
  PreparedPackage& operator=(const PreparedPackage&) = delete;
  ~PreparedPackage();

  // The bare names the package replaces or adds, in the archive's order.
  std::vector<std::string> targets() const;

  // Puts every file in place: first it waits, at most `inUseWait`, for replaced files that another
  // program holds open, and gives up with EZipError when one stays held; then the replaced files
  // are kept under a second name (hard links),
  // then `commit` (when given) receives the whole list, then the renames run. A replaced file
  // keeps its owner, group and mode; a new one takes the archive's permission bits (less set-id,
  // sticky and group or other write), or 0644. On a failure, or a stop seen between renames, the
  // files already replaced are put back and EZipError (EUpdateStopped) is thrown; then the folder
  // holds what it held before. Call once.
  void install(const std::function<void(const std::vector<StagedFile>&)>& commit = {});

 private:
  struct State;
  void prepare(const std::string& zipPath, const std::string& password, const std::string& folder,
               const UnpackOptions& options);
  void putInPlace(const std::function<void(const std::vector<StagedFile>&)>& commit);
  std::unique_ptr<State> s_;
};

// PreparedPackage and install in one: unpacks every file entry of `zipPath` into `folder`.
void unpackPackage(const std::string& zipPath, const std::string& folder, const std::string& password,
                   const UnpackOptions& options = {}, Os& sys = os());

// Finishes an install that was cut short after its list of files was taken (a kill during the
// renames): every temporary file of `files` still present is put over its target, then the kept
// files are removed. Returns how many files were put in place.
int finishStagedInstall(const std::string& folder, const std::vector<StagedFile>& files, Os& sys = os());

// True for a name of the unpacker's temporary files: ".kn-" and six letters or digits.
bool isUnpackTempName(const std::string& name);

// Removes the temporary files an interrupted unpack left in `folder` (regular files with a
// temporary name only). Returns how many were removed.
int removeUnpackLeftovers(const std::string& folder, Os& sys = os());

}  // namespace kn
