// A stand-in for the audit child in the supervisor's tests: it does, in order, what its arguments
// say, reading them as the audit child does (auditChildArguments, in UTF-8):
//   out:TEXT      TEXT and a line break to standard output      err:TEXT  the same to error output
//   flood:N       N bytes to standard output                    exit:N    ends with exit code N
//   limit         limitAuditChild(), as the audit child does    crash     writes through a null pointer
//   sleep         sleeps for ever                               pid:FILE  writes its process id into FILE
//   pause:MS      sleeps MS milliseconds
//   commit:MB     commits MB megabytes and touches every page; "committed=1" (or 0 when refused)
//   report        one "name=value" line each: what the child knows of itself (the lines below)
//   spawn:FILE    starts "pid:FILE sleep" (inheriting nothing) and waits until FILE exists
//   supervise:FILE  runs "pid:FILE sleep" as a supervised child of its own (runChild, 60 s)
// Anything else (the child switch, say) is passed over. Without exit:N it ends with exit code 0.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "AuditChild.h"
#include "AuditProcess.h"
#include "KNWinText.h"

namespace {

std::string selfPath() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return kn::win::narrow(std::wstring_view(buffer, n));
}

void writePid(const std::string& file) {
  const std::string tmp = file + ".tmp";
  std::ofstream(kn::win::widePath(tmp).c_str()) << ::GetCurrentProcessId();
  ::MoveFileExW(kn::win::widePath(tmp).c_str(), kn::win::widePath(file).c_str(), MOVEFILE_REPLACE_EXISTING);
}

void report(const std::vector<std::string>& args) {
  std::printf("child=%d\n", kn::isAuditChildProcess() ? 1 : 0);
  std::printf("priority=0x%lx\n", static_cast<unsigned long>(::GetPriorityClass(::GetCurrentProcess())));
  BOOL inJob = FALSE;
  ::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob);
  std::printf("injob=%d\n", inJob ? 1 : 0);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                  nullptr)) {
    std::printf("jobflags=0x%lx\n", static_cast<unsigned long>(limits.BasicLimitInformation.LimitFlags));
    std::printf("processmemory=%llu\n", static_cast<unsigned long long>(limits.ProcessMemoryLimit));
  } else {
    std::printf("jobquery=%lu\n", static_cast<unsigned long>(::GetLastError()));
  }
  for (size_t i = 0; i < args.size(); ++i) std::printf("arg%zu=%s\n", i, args[i].c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = kn::auditChildArguments(argc, argv);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& step = args[i];
    const size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon),
                      value = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (verb == "out" || verb == "err") {
      std::FILE* to = verb == "out" ? stdout : stderr;
      std::fprintf(to, "%s\n", value.c_str());
      std::fflush(to);
    } else if (verb == "flood") {
      const std::string block(4096, 'x');
      for (long long left = std::stoll(value); left > 0; left -= static_cast<long long>(block.size()))
        std::fwrite(block.data(), 1, static_cast<size_t>(std::min<long long>(left, block.size())), stdout);
      std::fflush(stdout);
    } else if (verb == "exit") {
      return std::stoi(value);
    } else if (verb == "limit") {
      kn::limitAuditChild();
    } else if (verb == "crash") {
      *static_cast<volatile int*>(nullptr) = 1;
    } else if (verb == "pause") {
      ::Sleep(static_cast<DWORD>(std::stoul(value)));
    } else if (verb == "commit") {
      const SIZE_T size = static_cast<SIZE_T>(std::stoull(value)) << 20;
      auto* memory = static_cast<volatile char*>(
          ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
      for (SIZE_T at = 0; memory && at < size; at += 4096) memory[at] = 1;  // kept until the process ends
      std::printf("committed=%d\n", memory ? 1 : 0);
      std::fflush(stdout);
    } else if (verb == "sleep") {
      ::Sleep(INFINITE);
    } else if (verb == "pid") {
      writePid(value);
    } else if (verb == "report") {
      report(args);
    } else if (verb == "spawn") {
      std::wstring line = kn::win::commandLine({selfPath(), "pid:" + value, "sleep"});
      STARTUPINFOW si{};
      si.cb = sizeof si;
      PROCESS_INFORMATION pi{};
      if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &si, &pi))
        return 3;
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
      for (int tries = 0;
           tries < 1000 && ::GetFileAttributesW(kn::win::widePath(value).c_str()) == INVALID_FILE_ATTRIBUTES;
           ++tries)
        ::Sleep(10);
    } else if (verb == "supervise") {
      kn::auditprocess::runChild(selfPath(), {selfPath(), "pid:" + value, "sleep"}, std::chrono::seconds(60));
    }
  }
  return 0;
}
