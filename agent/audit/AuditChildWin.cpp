// The audit child on Windows (AuditChild.h): the child switch and the arguments read from the wide
// command line, and what the child sets for itself beyond the job the supervisor put it in.
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <winternl.h>

#include <cstdlib>

#include "AuditChild.h"
#include "AuditSupervisor.h"
#include "KNWinText.h"

namespace kn {
namespace {

// The process's command line as CommandLineToArgvW reads it, in UTF-8.
std::vector<std::string> wideArguments() {
  std::vector<std::string> args;
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (!wide) return args;
  for (int i = 0; i < n; ++i) args.push_back(win::narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

FILETIME creationTime(HANDLE process) {
  FILETIME created{}, exited, kernel, user;
  ::GetProcessTimes(process, &created, &exited, &kernel, &user);
  return created;
}

// True when the process that started this one has ended. Its id may have been given to a new
// process since, so a process of that id younger than this one is not the parent.
bool parentIsGone() {
  using QueryProcess = NTSTATUS(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<QueryProcess>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION info{};
  if (!query || query(::GetCurrentProcess(), ProcessBasicInformation, &info, sizeof info, nullptr) != 0)
    return false;  // not known: the job ends this process with the agent anyway
  const auto parentId = static_cast<DWORD>(info.InheritedFromUniqueProcessId);
  HANDLE parent = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, parentId);
  if (!parent) return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  const bool ended = ::WaitForSingleObject(parent, 0) == WAIT_OBJECT_0;
  const FILETIME parentCreated = creationTime(parent), ownCreated = creationTime(::GetCurrentProcess());
  ::CloseHandle(parent);
  return ended || ::CompareFileTime(&parentCreated, &ownCreated) > 0;
}

// An exception that nothing handled ends the process at once, with the exception's code as its exit
// code, rather than starting a debugger (the job's JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION does
// the same on Windows; Wine starts its debugger, which writes a crash dump into the output).
LONG WINAPI endOnUnhandledException(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

void limitAuditChild() {
  // A crash ends the process with its exception code for the supervisor to report: no error box, no
  // "insert a disk" prompt, no wait for someone to click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::SetUnhandledExceptionFilter(endOnUnhandledException);
  if (parentIsGone()) std::_Exit(1);
  // Low I/O and memory priority for this process (the supervisor set the CPU priority class).
  ::SetPriorityClass(::GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN);
  // The audit runs on this thread: the script control needs a single-threaded apartment, and WMI's
  // calls into its provider host impersonate the caller. COM stays initialised until the process ends.
  if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
    ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}

std::vector<std::string> auditChildArguments(int, char**) { return wideArguments(); }

bool isAuditChildProcess() {
  static const bool child = [] {
    const std::vector<std::string> args = wideArguments();
    return args.size() > 1 && args[1] == kAuditChildSwitch;
  }();
  return child;
}

}  // namespace kn
