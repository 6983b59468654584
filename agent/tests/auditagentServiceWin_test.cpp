// auditagent.exe as the service "ZARODIRazev" of the system's service manager (Wine's in the
// build): registered with "/INSTALL" from a folder with a blank in its name, started against a
// loopback platform, stopped within the wait hint it gives, removed with "/UNINSTALL". The
// service's name and the identity are the machine's own: these tests run one at a time and put
// back what they found (agent_places.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "KNOs.h"
#include "KNServiceControl.h"
#include "KNServiceHandleWin.h"
#include "KNTestTempDir.h"
#include "KNWinTestSupport.h"
#include "KNWinText.h"
#include "agent_fixture.h"
#include "agent_places.h"

namespace kn {
namespace {

using namespace std::chrono_literals;
using win::ServiceHandle;

const char* const kService = "ZARODIRazev";

class AgentServiceWin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreateDirectoryW(win::widePath(folder_).c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(win::widePath(KN_AUDITAGENT_PATH).c_str(), win::widePath(exe_).c_str(), FALSE));
    test::writeBytes(folder_ + "/endpoint.ini", "url=" + platform_.url() + "\r\n");
  }
  void TearDown() override {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? ::OpenServiceW(manager.get(), L"ZARODIRazev",
                                                   SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                                  : nullptr);
    if (!service) return;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service.get());
    // Wine's service manager lets a service that ran go some 20 s after its deletion; the next
    // test's install must not find it still marked for deletion.
    for (int i = 0; i < 600 && control_.queryState(kService) != kServiceUnknown; ++i)
      std::this_thread::sleep_for(50ms);
  }

  ProgramResult run(std::vector<std::string> options) {
    ProgramRun r;
    r.argv = {exe_};
    r.argv.insert(r.argv.end(), options.begin(), options.end());
    return os().runProgram(r);
  }

  SERVICE_STATUS_PROCESS status() {
    SERVICE_STATUS_PROCESS s{};
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? ::OpenServiceW(manager.get(), L"ZARODIRazev", SERVICE_QUERY_STATUS) : nullptr);
    DWORD needed = 0;
    if (service)
      ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed);
    return s;
  }

  // The lines of the service module's log (the daily file named after TZARODIRazev).
  std::vector<std::string> moduleLog() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(win::widePath(folder_ + "/logs")), ec))
      if (entry.path().filename().wstring().find(L"TZARODIRazev") != std::wstring::npos)
        return test::logMessages(win::narrow(entry.path().wstring()));
    return {};
  }

  test::TempDir dir_{"knagentsvc"};
  test::MachinePlaces places_;
  test::FakePlatform platform_;
  const std::string folder_ = test::backslashed(dir_ / "Kestrane Agent");
  const std::string exe_ = folder_ + "\\auditagent.exe";
  IServiceControl& control_ = serviceControl();
};

TEST_F(AgentServiceWin, InstallRegistersTheQuotedProgramAndUninstallRemovesIt) {
  ProgramResult install = run({"/INSTALL"});
  ASSERT_TRUE(install.exitedWith(0)) << install.exitCode << " " << install.output;
  EXPECT_EQ(install.output, "Service installed successfully\r\n");

  std::vector<unsigned char> buf;
  {
    // Closed before the removal: the service manager deletes a service once no handle is open.
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(::OpenServiceW(manager.get(), L"ZARODIRazev", SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    buf.resize(needed);
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                      needed, &needed));
  }
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  // In quotes: "C:\...\Kestrane Agent\auditagent.exe" is never read as "C:\...\Kestrane" with arguments.
  EXPECT_EQ(win::narrow(config->lpBinaryPathName), "\"" + exe_ + "\"");
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(win::narrow(config->lpDisplayName), "ZARODIRazev");
  EXPECT_EQ(win::narrow(config->lpServiceStartName), "LocalSystem");
  // Installing needs no identity: nothing was made for it.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(win::widePath(places_.identityFile()))));

  ProgramResult uninstall = run({"/UNINSTALL", "/SILENT"});
  EXPECT_TRUE(uninstall.exitedWith(0)) << uninstall.exitCode;
  EXPECT_EQ(uninstall.output, "");
  EXPECT_EQ(control_.queryState(kService), kServiceUnknown);
}

TEST_F(AgentServiceWin, RunsAsTheServiceAndStopsWithinItsWaitHint) {
  ASSERT_TRUE(run({"/INSTALL", "/SILENT"}).exitedWith(0));
  ASSERT_TRUE(control_.requestStart(kService));
  // Without an API key the first pass sends the missing-key notice, identified by the machine.
  ASSERT_TRUE(platform_.waitFor(
      [](const auto& calls) { return !calls.empty(); }, 30s));
  EXPECT_EQ(control_.queryState(kService), kServiceRunning);
  auto call = platform_.calls().front();
  EXPECT_EQ(call.method, "notifyMissingAPIKEY");
  auto header = nlohmann::json::parse(call.serviceAppHeader);
  EXPECT_EQ(header["av"], "auditagent/" KN_PROJECT_VERSION);
  std::string identity = test::readBytes(places_.identityFile());
  EXPECT_NE(identity.find("=" + header["id"].get<std::string>() + "\r\n"), std::string::npos) << identity;

  auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(control_.requestStop(kService));
  DWORD hint = 0;
  SERVICE_STATUS_PROCESS s = status();
  while (s.dwCurrentState != SERVICE_STOPPED && std::chrono::steady_clock::now() - asked < 60s) {
    if (s.dwCurrentState == SERVICE_STOP_PENDING) hint = std::max(hint, s.dwWaitHint);
    std::this_thread::sleep_for(50ms);
    s = status();
  }
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
  ASSERT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_GT(hint, 0u) << "the stop was never seen pending";
  EXPECT_LT(took.count(), static_cast<long long>(hint)) << "the stop outlasted the wait hint it gave";
  EXPECT_GE(took, 5s) << "the 5 s wait after the stop";

  std::vector<std::string> lines = moduleLog();
  auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
  for (const char* line : {"Create", "Start: OK", "Stop", "Service terminated=true", "ServiceExecute: done"})
    EXPECT_LT(at(line), static_cast<long>(lines.size())) << line;
  EXPECT_LT(at("Stop"), at("Service terminated=true"));
  EXPECT_LT(at("Service terminated=true"), at("ServiceExecute: done"));
}

}  // namespace
}  // namespace kn
