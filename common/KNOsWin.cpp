// The OS seam on Windows: the wide Win32 file, process and crypto functions, each failure turned
// into EOSError here and nowhere else.
#include "KNOs.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "KNWinText.h"

namespace kn {

namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// A handle owned by one object and closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, INVALID_HANDLE_VALUE));
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  void reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(h_);
    h_ = h;
  }
  HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE h_;
};

bool writeAll(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30)), done = 0;
    if (!::WriteFile(h, data.data(), chunk, &done, nullptr)) return false;
    if (done == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);  // a write that moves nothing would never finish
      return false;
    }
    data.remove_prefix(done);
  }
  return true;
}

constexpr std::string_view kTempInfix = ".tmp-";
constexpr size_t kTempSuffixLength = 6;

// The folder part of `path` (without its final separator) and the name.
std::pair<std::string, std::string> splitPath(const std::string& path) {
  size_t sep = path.find_last_of(kPathSeparators);
  if (sep == std::string::npos) return {".", path};
  return {sep == 0 ? path.substr(0, 1) : path.substr(0, sep), path.substr(sep + 1)};
}

// Removes "<name>.tmp-XXXXXX" files beside `path` that no live writer holds: a writer keeps its
// temporary file open without delete sharing, so only a crashed writer's can be deleted.
void removeStaleTemporaries(const std::string& path) {
  auto [folder, name] = splitPath(path);
  std::string prefix = name + std::string(kTempInfix);
  for (const FolderEntry& e : os().listFolder(folder)) {
    if (e.kind != EntryKind::File || e.name.size() != prefix.size() + kTempSuffixLength ||
        !e.name.starts_with(prefix))
      continue;
    ::DeleteFileW(win::widePath(folder + "\\" + e.name).c_str());
  }
}

class WinInputFile final : public InputFile {
 public:
  WinInputFile(std::string path, Handle h, std::uint64_t size) : path_(std::move(path)), h_(std::move(h)), size_(size) {}

  std::size_t read(char* buf, std::size_t size) override {
    DWORD n = 0;
    if (!::ReadFile(h_.get(), buf, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &n, nullptr))
      throwOSError("Cannot read file " + quoted(path_), static_cast<int>(::GetLastError()));
    return n;
  }
  std::size_t readAt(std::uint64_t offset, char* buf, std::size_t size) override {
    // Read at an offset with the position saved and put back, as pread leaves it.
    LARGE_INTEGER zero{}, here{};
    ::SetFilePointerEx(h_.get(), zero, &here, FILE_CURRENT);
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    BOOL ok = ::ReadFile(h_.get(), buf, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &n, &where);
    DWORD err = ::GetLastError();
    ::SetFilePointerEx(h_.get(), here, nullptr, FILE_BEGIN);
    if (!ok && err != ERROR_HANDLE_EOF) throwOSError("Cannot read file " + quoted(path_), static_cast<int>(err));
    return ok ? n : 0;
  }
  std::uint64_t size() const override { return size_; }

 private:
  std::string path_;
  Handle h_;
  std::uint64_t size_;
};

class WinOutputFile final : public OutputFile {
 public:
  WinOutputFile(std::string path, Handle h) : path_(std::move(path)), h_(std::move(h)) {}

  void append(std::string_view data) override {
    if (!h_.valid()) fail(ERROR_INVALID_HANDLE);
    if (!writeAll(h_.get(), data)) fail(::GetLastError());
  }
  void sync() override {
    if (!h_.valid()) fail(ERROR_INVALID_HANDLE);
    if (!::FlushFileBuffers(h_.get())) fail(::GetLastError());
  }
  void close() override {
    if (!h_.valid()) return;
    if (!::CloseHandle(h_.release())) fail(::GetLastError());
  }

 private:
  [[noreturn]] void fail(DWORD err) { throwOSError("Cannot write file " + quoted(path_), static_cast<int>(err)); }
  std::string path_;
  Handle h_;
};

}  // namespace

class SystemOs final : public Os {
 public:
  std::unique_ptr<InputFile> openFile(const std::string& path) override {
    Handle h(::CreateFileW(win::widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid()) throwOSError("Cannot open file " + quoted(path), static_cast<int>(::GetLastError()));
    // A disk file only: no pipe, console, device or folder.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      throw EOSError("Cannot read file " + quoted(path) + ". It is not a regular file");
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return std::make_unique<WinInputFile>(path, std::move(h), size);
  }

  std::vector<FolderEntry> listFolder(const std::string& path) override {
    std::vector<FolderEntry> entries;
    std::string pattern = path;
    if (pattern.empty() || kPathSeparators.find(pattern.back()) == std::string_view::npos) pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileExW(win::widePath(pattern).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      DWORD err = ::GetLastError();
      if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return entries;
      throwOSError("Cannot list folder " + quoted(path), static_cast<int>(err));
    }
    do {
      std::wstring_view name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      DWORD a = found.dwFileAttributes;
      EntryKind kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::Link
                       : (a & FILE_ATTRIBUTE_DIRECTORY)   ? EntryKind::Folder
                       : (a & FILE_ATTRIBUTE_DEVICE)      ? EntryKind::Other
                                                          : EntryKind::File;
      entries.push_back({win::narrow(name), kind});
    } while (::FindNextFileW(find, &found));
    DWORD err = ::GetLastError();
    ::FindClose(find);
    if (err != ERROR_NO_MORE_FILES) throwOSError("Cannot list folder " + quoted(path), static_cast<int>(err));
    return entries;
  }

  void writeFile(const std::string& path, std::span<const std::string_view> pieces,
                 const WriteOptions& options) override {
    const std::string what = "Cannot write file " + quoted(path);
    removeStaleTemporaries(path);
    // Held open without sharing until it has been renamed over the target: no other writer's
    // clean-up can take it away meanwhile.
    std::string tmp;
    Handle h;
    for (int attempt = 0; attempt < 8 && !h.valid(); ++attempt) {
      std::uint8_t random[kTempSuffixLength];
      randomBytes(random);
      tmp = path + std::string(kTempInfix);
      for (std::uint8_t b : random) tmp += "abcdefghijklmnopqrstuvwxyz0123456789"[b % 36];
      h.reset(::CreateFileW(win::widePath(tmp).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!h.valid() && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!h.valid()) throwOSError(what, static_cast<int>(::GetLastError()));
    bool ok = true;
    for (std::string_view piece : pieces)
      if (ok) ok = writeAll(h.get(), piece);
    ok = ok && ::FlushFileBuffers(h.get());
    if (ok) {
      std::wstring target = win::widePath(path);
      std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
      auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
      rename->ReplaceIfExists = TRUE;
      rename->RootDirectory = nullptr;
      rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
      std::copy(target.begin(), target.end(), rename->FileName);
      ok = ::SetFileInformationByHandle(h.get(), FileRenameInfo, rename, static_cast<DWORD>(buf.size()));
      if (!ok) {  // a file system without rename by handle: close first, then move
        h.reset();
        ok = ::MoveFileExW(win::widePath(tmp).c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
      }
    }
    DWORD err = ::GetLastError();
    h.reset();
    if (!ok) {
      ::DeleteFileW(win::widePath(tmp).c_str());
      throwOSError(what, static_cast<int>(err));
    }
    if (options.existing == ExistingMode::Replace && !(options.mode & 0200))
      ::SetFileAttributesW(win::widePath(path).c_str(), FILE_ATTRIBUTE_READONLY);
  }

  std::unique_ptr<OutputFile> createFile(const std::string& path, unsigned mode) override {
    Handle h(::CreateFileW(win::widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY, nullptr));
    if (!h.valid()) throwOSError("Cannot create file " + quoted(path), static_cast<int>(::GetLastError()));
    return std::make_unique<WinOutputFile>(path, std::move(h));
  }

  void renamePath(const std::string& from, const std::string& to) override {
    if (!::MoveFileExW(win::widePath(from).c_str(), win::widePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      throwOSError("Cannot rename " + quoted(from) + " to " + quoted(to), static_cast<int>(::GetLastError()));
  }

  bool removePath(const std::string& path) override {
    std::wstring w = win::widePath(path);
    if (::DeleteFileW(w.c_str())) return true;
    DWORD err = ::GetLastError();
    if (err == ERROR_ACCESS_DENIED) {
      DWORD a = ::GetFileAttributesW(w.c_str());
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        if (::RemoveDirectoryW(w.c_str())) return true;
        err = ::GetLastError();
      }
    }
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
    throwOSError("Cannot remove " + quoted(path), static_cast<int>(err));
  }

  void makeFolder(const std::string& path, unsigned) override {
    // Each prefix that ends at a separator, past a drive ("C:\") or a share ("\\host\share\").
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') start = 3;
    if (path.starts_with("\\\\") || path.starts_with("//")) {
      size_t host = path.find_first_of(kPathSeparators, 2);
      start = host == std::string::npos ? path.size() : path.find_first_of(kPathSeparators, host + 1);
      if (start == std::string::npos) start = path.size();
    }
    for (size_t at = path.find_first_of(kPathSeparators, start);; at = path.find_first_of(kPathSeparators, at + 1)) {
      std::string part = at == std::string::npos ? path : path.substr(0, at);
      if (part.size() > start && !::CreateDirectoryW(win::widePath(part).c_str(), nullptr) &&
          ::GetLastError() != ERROR_ALREADY_EXISTS)
        throwOSError("Cannot create folder " + quoted(path), static_cast<int>(::GetLastError()));
      if (at == std::string::npos) break;
    }
    DWORD a = ::GetFileAttributesW(win::widePath(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) throwOSError("Cannot create folder " + quoted(path), static_cast<int>(::GetLastError()));
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) throwOSError("Cannot create folder " + quoted(path), ERROR_DIRECTORY);
  }

  FileLock lockFile(const std::string& path, LockWait wait) override {
    const std::string what = "Cannot lock file " + quoted(path);
    Handle h(::CreateFileW(win::widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) throwOSError(what, static_cast<int>(::GetLastError()));
    OVERLAPPED at{};
    DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait == LockWait::Try ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    if (!::LockFileEx(h.get(), flags, 0, MAXDWORD, MAXDWORD, &at)) {
      DWORD err = ::GetLastError();
      if (err == ERROR_LOCK_VIOLATION && wait == LockWait::Try) return FileLock();
      throwOSError(what, static_cast<int>(err));
    }
    return FileLock(reinterpret_cast<std::intptr_t>(h.release()));
  }

  ProgramResult runProgram(const ProgramRun& run) override {
    ProgramResult result;
    if (run.argv.empty()) {
      result.exitCode = ERROR_INVALID_PARAMETER;
      return result;
    }
    std::wstring line = win::commandLine(run.argv);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));
    Handle readEnd, writeEnd;
    if (!run.passOutput) {
      HANDLE r = nullptr, w = nullptr;
      if (!::CreatePipe(&r, &w, &inherit, 0)) {
        result.exitCode = static_cast<int>(::GetLastError());
        return result;
      }
      readEnd.reset(r);
      writeEnd.reset(w);
      ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    }

    // Only these handles reach the program, whatever else this process has made inheritable.
    HANDLE handles[2] = {nul.get(), writeEnd.valid() ? writeEnd.get() : nul.get()};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attrBuf(size);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuf.data());
    ::InitializeProcThreadAttributeList(attrs, 1, 0, &size);
    ::UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                writeEnd.valid() ? sizeof handles : sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    if (!run.passOutput) {
      si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
      si.StartupInfo.hStdInput = nul.get();
      si.StartupInfo.hStdOutput = writeEnd.get();
      si.StartupInfo.hStdError = nul.get();
    }
    // The program and everything it starts live in a job that a time-out ends whole.
    Handle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.valid()) ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

    PROCESS_INFORMATION pi{};
    BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                    CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                    &si.StartupInfo, &pi);
    DWORD startError = ::GetLastError();
    ::DeleteProcThreadAttributeList(attrs);
    writeEnd.reset();
    if (!started) {
      result.exitCode = static_cast<int>(startError);
      return result;
    }
    Handle process(pi.hProcess), thread(pi.hThread);
    if (job.valid()) ::AssignProcessToJobObject(job.get(), process.get());
    ::ResumeThread(thread.get());

    // The output is read on a thread of its own, so that the wait below can keep the time-out. The
    // thread shares the state it fills and owns the pipe's end, so that it may outlive this call.
    struct Reading {
      explicit Reading(HANDLE pipe, size_t max) : pipe(pipe), max(max) {}
      ~Reading() { ::CloseHandle(pipe); }
      HANDLE pipe;
      size_t max;
      std::mutex lock;
      std::string output;
      bool cut = false;
    };
    std::shared_ptr<Reading> reading;
    Handle reader;
    if (readEnd.valid()) {
      reading = std::make_shared<Reading>(readEnd.release(), run.maxOutput);
      auto* share = new std::shared_ptr<Reading>(reading);
      reader.reset(::CreateThread(
          nullptr, 0,
          [](void* arg) -> DWORD {
            std::unique_ptr<std::shared_ptr<Reading>> share(static_cast<std::shared_ptr<Reading>*>(arg));
            Reading& r = **share;
            char buf[4096];
            DWORD n = 0;
            while (::ReadFile(r.pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
              std::lock_guard<std::mutex> hold(r.lock);
              size_t keep = std::min<size_t>(n, r.max - r.output.size());
              if (keep < n) r.cut = true;
              r.output.append(buf, keep);
            }
            return 0;
          },
          share, 0, nullptr));
      if (!reader.valid()) delete share;
    }
    const auto ms = run.timeout.count();
    DWORD waited = ::WaitForSingleObject(process.get(), ms < 0 ? 0 : ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
    if (waited != WAIT_OBJECT_0) {
      if (job.valid()) ::TerminateJobObject(job.get(), 1);
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), 5000);
      result.end = ProgramResult::End::TimedOut;
    } else {
      DWORD code = 0;
      ::GetExitCodeProcess(process.get(), &code);
      // An exception that ended the program (0xC0000005 and the like) is not an exit status.
      result.end = code >= 0xC0000000u ? ProgramResult::End::Killed : ProgramResult::End::Exited;
      result.exitCode = static_cast<int>(code);
    }
    // What the program started may still hold the pipe: the job's end closes it, and a reader that
    // still waits after that is cancelled. A process outside the job (one that broke away, or under
    // Wine a program of the host) can hold it for ever, and Wine cannot cancel the read: then the
    // reader is left to end when the pipe does, and the output is what came until now.
    job.reset();
    if (reader.valid() && ::WaitForSingleObject(reader.get(), 2000) != WAIT_OBJECT_0) {
      ::CancelSynchronousIo(reader.get());
      ::WaitForSingleObject(reader.get(), 1000);
    }
    if (reading) {
      std::lock_guard<std::mutex> hold(reading->lock);
      result.output = reading->output;
      result.outputCut = reading->cut;
    }
    return result;
  }

  std::string executablePath() override {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
      DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
      if (n == 0) throwOSError("Cannot tell the executable's path", static_cast<int>(::GetLastError()));
      if (n < buf.size()) {
        buf.resize(n);
        break;
      }
      buf.resize(buf.size() * 2);
    }
    if (buf.starts_with(L"\\\\?\\")) buf.erase(0, 4);
    return win::narrow(buf);
  }

  void randomBytes(std::span<std::uint8_t> out) override {
    NTSTATUS status = ::BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) throwOSError("Cannot read random bytes", static_cast<int>(status));
  }

  std::string errorText(int code) override { return win::errorText(static_cast<unsigned long>(code)); }
};

void FileLock::release() noexcept {
  if (handle_ != kNone) ::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, kNone)));  // ends the lock
}

const std::string_view kPathSeparators = "\\/";
const OSErrors kOSErrors{ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DISK_FULL};

Os& os() {
  static SystemOs system;
  return system;
}

int lastOSError() { return static_cast<int>(::GetLastError()); }

void throwOSError(const std::string& what, int code) { throw EOSError(what + ". " + os().errorText(code)); }

}  // namespace kn
