// Under Wine the tools the tests use (openssl, zip) are the host's: a command line runs in the
// host's /bin/sh through "start /unix", with Windows paths turned into the host's own.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "KNOs.h"
#include "KNTestTempDir.h"
#include "KNWinText.h"
#include "KNHostShell.h"

namespace kn::test {

std::string hostPath(const std::string& path) {
  // Wine's own export; real Windows has no host shell and these tests need one.
  using ToUnix = char*(CDECL*)(const wchar_t*);
  auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return path;
  char* unix = toUnix(win::wide(path).c_str());
  if (!unix) return path;
  std::string out = unix;
  ::HeapFree(::GetProcessHeap(), 0, unix);
  return out;
}

int hostShell(const std::string& command) {
  // start /unix neither waits for the host's program nor gives its exit status back: the script
  // leaves the status in a file, whole, and the file is waited for.
  TempDir scratch;
  std::string script = scratch / "command.sh", status = scratch / "status";
  const std::string statusHere = hostPath(status);
  // The script lets go of the descriptors Wine hands it at once: a program it leaves running (a
  // server) must not hold them.
  writeBytes(script, "exec </dev/null >/dev/null 2>&1\n" + command + "\necho $? > '" + statusHere + ".part' && mv '" + statusHere + ".part' '" +
                        statusHere + "'\n");
  ProgramResult r = os().runProgram({.argv = {"start.exe", "/unix", "/bin/sh", hostPath(script)}});
  if (!r.exitedWith(0)) return -1;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    std::error_code ec;
    if (std::filesystem::exists(status, ec)) return std::atoi(readBytes(status).c_str());
  }
  return -1;
}

}  // namespace kn::test
