// The supervised audit on Windows (AuditProcess.h). The child is created suspended, below normal
// priority, without a window, with NUL as input and one pipe as output and error output, and those
// two are the only handles it inherits. Before it runs an instruction it is put into a job object of
// its own, whose one handle the agent holds: the job bounds the child's committed memory, ends it on
// an unhandled exception without a dialog, and kills it with everything it started when that handle
// closes, at the end of the run or when the agent ends in any way. The agent then waits in one
// WaitForMultipleObjects on the process and the cancel event, up to the time limit, while a thread
// of its own drains the pipe.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AuditProcess.h"
#include "KNOs.h"
#include "KNWinText.h"
#include "knLOG2.h"

namespace kn {
namespace {

// The child's committed memory (its private memory, what it takes from RAM and page file), per
// process of the job. Windows has no bound on address space, which a 64-bit process reserves by the
// terabyte at no cost; commit is what a runaway audit would take from the machine. The audit's own
// commit is its heap (the script's strings, the document: tens of MB on a large machine) and the
// writable pages of its DLLs, while WMI's providers run in their own host; the bound of the Linux
// child's whole address space, shared libraries included, therefore leaves it ample room here.
constexpr SIZE_T kAuditCommitLimit = kAuditAddressSpaceLimit;
// How often the child's peak working set and CPU time are read while it runs (Wine tells them only
// then; Windows also after the end).
constexpr long long kSampleMs = 1000;
// How long a killed child may take to be gone, and the reader of its output to see the pipe's end.
constexpr DWORD kKillWaitMs = 10000;
constexpr DWORD kDrainWaitMs = 2000;

// "Fail: <what>: <the system's reason>".
std::string failure(const std::string& what, DWORD error) {
  return "Fail: " + what + ": " + win::errorText(error);
}

// A handle owned by one object and closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(Handle&& o) noexcept : h_(o.release()) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr; }
  void reset(HANDLE h = nullptr) {
    if (h_) ::CloseHandle(h_);
    h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
  }
  HANDLE release() { return std::exchange(h_, nullptr); }

 private:
  HANDLE h_;
};

// The cancel signal: a manual-reset event made once and a count of runs in progress.
struct CancelState {
  std::mutex mutex;
  HANDLE event = nullptr;
  int running = 0;
};
CancelState& cancelState() {
  static CancelState* state = new CancelState;  // never destroyed: usable until the process ends
  return *state;
}

// Registers a run so that cancelRunningAudit reaches it; a cancel before the run began is dropped.
class RunRegistration {
 public:
  RunRegistration() {
    CancelState& s = cancelState();
    std::lock_guard lock(s.mutex);
    if (!s.event) s.event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s.event) throw EAuditProcess(failure("cannot create an event", ::GetLastError()));
    if (s.running++ == 0) ::ResetEvent(s.event);
    event_ = s.event;
  }
  ~RunRegistration() {
    CancelState& s = cancelState();
    std::lock_guard lock(s.mutex);
    --s.running;
  }
  HANDLE event() const { return event_; }

 private:
  HANDLE event_ = nullptr;
};

// The handles a child inherits, and nothing else this process has made inheritable.
class InheritedHandles {
 public:
  explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    if (!::InitializeProcThreadAttributeList(list(), 1, 0, &size))
      throw EAuditProcess(failure("cannot prepare the audit process's handles", ::GetLastError()));
    if (!::UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      const DWORD error = ::GetLastError();
      ::DeleteProcThreadAttributeList(list());
      throw EAuditProcess(failure("cannot prepare the audit process's handles", error));
    }
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  ~InheritedHandles() { ::DeleteProcThreadAttributeList(list()); }
  LPPROC_THREAD_ATTRIBUTE_LIST list() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
  }

 private:
  std::vector<HANDLE> handles_;  // the list points into this
  std::vector<unsigned char> buffer_;
};

Handle makeJob() {
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) throw EAuditProcess(failure("cannot create the audit process's job", ::GetLastError()));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                            JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                            JOB_OBJECT_LIMIT_PROCESS_MEMORY;
  limits.ProcessMemoryLimit = kAuditCommitLimit;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
    throw EAuditProcess(failure("cannot set the audit process's limits", ::GetLastError()));
  return job;
}

void appendOutput(std::string& output, const char* data, size_t n) {
  if (output.size() < auditprocess::kMaxOutput)
    output.append(data, std::min(n, auditprocess::kMaxOutput - output.size()));
}

// The child's output, read by a thread of its own until the pipe ends. The thread shares this with
// the run and owns the pipe's end, so that it may outlive the run: a process outside the job (under
// Wine, a program of the host) can hold the pipe open for ever.
struct OutputDrain {
  explicit OutputDrain(HANDLE pipe) : pipe(pipe) {}
  ~OutputDrain() { ::CloseHandle(pipe); }
  HANDLE pipe;
  std::mutex lock;
  std::string output;

  std::string taken() {
    std::lock_guard hold(lock);
    return output;
  }
};

DWORD WINAPI drainOutput(void* arg) {
  std::unique_ptr<std::shared_ptr<OutputDrain>> share(static_cast<std::shared_ptr<OutputDrain>*>(arg));
  OutputDrain& drain = **share;
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(drain.pipe, buffer, sizeof buffer, &n,
                    nullptr)) {  // past the bound the rest is read and dropped
    std::lock_guard hold(drain.lock);
    appendOutput(drain.output, buffer, n);
  }
  return 0;
}

// The reader of a run: started on the pipe's read end, ended (or given up) by finish().
class OutputReader {
 public:
  explicit OutputReader(Handle& readEnd) : drain_(std::make_shared<OutputDrain>(readEnd.release())) {
    auto* share = new std::shared_ptr<OutputDrain>(drain_);
    thread_.reset(::CreateThread(nullptr, 0, drainOutput, share, 0, nullptr));
    if (!thread_.valid()) {
      const DWORD error = ::GetLastError();
      delete share;
      throw EAuditProcess(failure("cannot start reading the audit process's output", error));
    }
  }
  // Once every process of the job has ended, the pipe ends too; a read that still waits after that
  // is cancelled, and one that cannot be cancelled is left to end with the pipe.
  std::string finish() {
    if (::WaitForSingleObject(thread_.get(), kDrainWaitMs) != WAIT_OBJECT_0) {
      ::CancelSynchronousIo(thread_.get());
      ::WaitForSingleObject(thread_.get(), 1000);
    }
    return drain_->taken();
  }

 private:
  std::shared_ptr<OutputDrain> drain_;
  Handle thread_;
};

std::chrono::microseconds fromFileTime(const FILETIME& t) {
  return std::chrono::microseconds(((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
                                   10);
}

// The child's figures while it runs: Windows keeps a process's counters after its end, Wine only
// while it lives (after the end it gives the caller's own CPU time).
struct Sample {
  std::uint64_t peakKb = 0;
  std::chrono::microseconds cpu{0};
};

Sample sampleOf(HANDLE process) {
  Sample sample;
  PROCESS_MEMORY_COUNTERS memory{};
  if (::K32GetProcessMemoryInfo(process, &memory, sizeof memory))
    sample.peakKb = memory.PeakWorkingSetSize / 1024;
  FILETIME created, exited, kernel{}, user{};
  if (::GetProcessTimes(process, &created, &exited, &kernel, &user))
    sample.cpu = fromFileTime(kernel) + fromFileTime(user);
  return sample;
}

// The child's peak working set, and the CPU time of the whole job (the child and whatever it
// started) from the job's accounting; where the system gives neither after the end, the last
// figures read while the child ran.
SupervisedAuditStats statsOf(HANDLE process, HANDLE job, const Sample& sampled) {
  SupervisedAuditStats stats;
  PROCESS_MEMORY_COUNTERS memory{};
  stats.peakRssKb = sampled.peakKb;
  if (::K32GetProcessMemoryInfo(process, &memory, sizeof memory))
    stats.peakRssKb = std::max<std::uint64_t>(stats.peakRssKb, memory.PeakWorkingSetSize / 1024);
  stats.cpu = sampled.cpu;
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                  nullptr)) {
    const auto total = std::chrono::microseconds(
        (accounting.TotalUserTime.QuadPart + accounting.TotalKernelTime.QuadPart) / 10);
    if (total.count() > 0) stats.cpu = total;
  }
  return stats;
}

// The exit code of a process that an exception ended: an NTSTATUS of error severity, or one of the
// warnings that end a process when nobody handles them. -1 is an exit status.
bool isExceptionCode(DWORD code) {
  return code == 0x80000002u || code == 0x80000003u ||
         ((code & 0xC0000000u) == 0xC0000000u && code != 0xFFFFFFFFu);
}

}  // namespace

void cancelRunningAudit() {
  CancelState& s = cancelState();
  std::lock_guard lock(s.mutex);
  if (s.running == 0 || !s.event) return;
  ::SetEvent(s.event);
}

namespace auditprocess {

std::string ownImage() { return os().executablePath(); }

std::string signalText(int sig) {
  static const struct {
    DWORD code;
    const char* name;
  } kNames[] = {
      {0x80000002u, "datatype misalignment"},
      {0x80000003u, "breakpoint"},
      {0xC0000005u, "access violation"},
      {0xC0000006u, "in-page error"},
      {0xC0000017u, "out of memory"},
      {0xC000001Du, "illegal instruction"},
      {0xC0000025u, "noncontinuable exception"},
      {0xC000008Cu, "array bounds exceeded"},
      {0xC000008Eu, "floating-point division by zero"},
      {0xC0000094u, "integer division by zero"},
      {0xC0000095u, "integer overflow"},
      {0xC0000096u, "privileged instruction"},
      {0xC00000FDu, "stack overflow"},
      {0xC000012Du, "commitment limit reached"},
      {0xC0000135u, "DLL not found"},
      {0xC0000139u, "entry point not found"},
      {0xC000013Au, "Ctrl+C"},
      {0xC0000142u, "DLL initialization failed"},
      {0xC0000374u, "heap corruption"},
      {0xC0000409u, "stack buffer overrun"},
      {0xC0000420u, "assertion failure"},
  };
  const auto code = static_cast<DWORD>(sig);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  for (const auto& n : kNames)
    if (n.code == code) return std::string(hex) + " (" + n.name + ")";
  return hex;
}

ChildEnd runChild(const std::string& program, const std::vector<std::string>& command,
                  std::chrono::milliseconds limit) {
  RunRegistration registration;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle nul(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                           0, nullptr));
  if (!nul.valid()) throw EAuditProcess(failure("cannot open NUL", ::GetLastError()));
  HANDLE r = nullptr, w = nullptr;
  if (!::CreatePipe(&r, &w, &inherit, 0))
    throw EAuditProcess(failure("cannot create a pipe", ::GetLastError()));
  Handle readEnd(r), writeEnd(w);
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  Handle job = makeJob();

  std::wstring line = win::commandLine(command);
  PROCESS_INFORMATION pi{};
  {
    InheritedHandles inherited({nul.get(), writeEnd.get()});
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = nul.get();
    si.StartupInfo.hStdOutput = writeEnd.get();
    si.StartupInfo.hStdError = writeEnd.get();
    si.lpAttributeList = inherited.list();
    if (!::CreateProcessW(
            win::widePath(program).c_str(), line.data(), nullptr, nullptr, TRUE,
            CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | BELOW_NORMAL_PRIORITY_CLASS,
            nullptr, nullptr, &si.StartupInfo, &pi))
      throw EAuditProcess(failure("cannot start the audit process " + logSafe(program), ::GetLastError()));
  }
  Handle process(pi.hProcess), thread(pi.hThread);
  writeEnd.reset();
  nul.reset();
  if (!::AssignProcessToJobObject(job.get(), process.get())) {
    const DWORD error = ::GetLastError();
    ::TerminateProcess(process.get(), error);
    throw EAuditProcess(failure("cannot put the audit process into its job", error));
  }
  // The creation flag has asked for this already; Wine takes only the explicit call.
  ::SetPriorityClass(process.get(), BELOW_NORMAL_PRIORITY_CLASS);
  OutputReader reader(readEnd);  // a failure here leaves the job to kill the suspended child
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1))
    throw EAuditProcess(failure("cannot start the audit process " + logSafe(program), ::GetLastError()));
  thread.reset();

  const auto deadline = std::chrono::steady_clock::now() + limit;
  const HANDLE waits[2] = {process.get(), registration.event()};
  std::optional<ChildEnd::How> killedFor;
  std::string waitFailure;
  Sample sampled;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      killedFor = ChildEnd::How::TimedOut;
      break;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    const DWORD waited =
        ::WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(std::min(left, kSampleMs)));
    if (waited == WAIT_OBJECT_0) break;
    if (waited == WAIT_OBJECT_0 + 1) {
      killedFor = ChildEnd::How::Cancelled;
      break;
    }
    if (waited != WAIT_TIMEOUT) {
      waitFailure = failure("waiting for the audit process failed", ::GetLastError());
      break;
    }
    const Sample reading = sampleOf(process.get());
    if (::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
      sampled = reading;  // read from the live child
  }
  if (killedFor || !waitFailure.empty()) {
    ::TerminateJobObject(job.get(), ERROR_PROCESS_ABORTED);
    ::WaitForSingleObject(process.get(), kKillWaitMs);
    job.reset();
    reader.finish();
    if (!waitFailure.empty()) throw EAuditProcess(waitFailure);
    ChildEnd killed;
    killed.how = *killedFor;
    return killed;
  }

  ChildEnd end;
  end.stats = statsOf(process.get(), job.get(), sampled);
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code))
    throw EAuditProcess(failure("cannot read the audit process's exit code", ::GetLastError()));
  // Whatever the child started ends with it, and with it the last writer of the pipe.
  ::TerminateJobObject(job.get(), ERROR_PROCESS_ABORTED);
  job.reset();
  end.output = reader.finish();
  while (!end.output.empty() && (end.output.back() == '\n' || end.output.back() == '\r'))
    end.output.pop_back();
  end.how = isExceptionCode(code) ? ChildEnd::How::Signalled : ChildEnd::How::Exited;
  end.code = static_cast<int>(code);
  return end;
}

}  // namespace auditprocess
}  // namespace kn
