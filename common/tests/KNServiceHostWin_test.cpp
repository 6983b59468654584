// The service host and the service control on Windows, against the system's service manager (Wine's
// in the build): kn_test_service (TestService.cpp) installed with "/INSTALL", started, queried,
// stopped and removed with "/UNINSTALL". Each test runs a copy of the program in a folder of its
// own under a service name of its own, and removes the service at the end whatever happened.
//
// Under Wine, services end about 2 s after the last ordinary Wine process; this test is one, so
// the service lives as long as the test does.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "KNOs.h"
#include "KNServiceControl.h"
#include "KNTestTempDir.h"
#include "KNWinTestSupport.h"
#include "KNServiceHandleWin.h"
#include "KNWinText.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

using win::ServiceHandle;

// The service's configuration as the service manager holds it.
struct Recorded {
  DWORD type = 0, start = 0;
  std::string image, account, displayName, description;
};

class ServiceHostWin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreateDirectoryW(win::widePath(folder_).c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(win::widePath(KN_TEST_SERVICE_PATH).c_str(), win::widePath(exe_).c_str(), FALSE));
    configure("");
  }

  void TearDown() override {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? ::OpenServiceW(manager.get(), win::wide(name_).c_str(),
                                                   SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                                  : nullptr);
    if (!service) return;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service.get());
    waitForState(kServiceStopped, 10s);  // so that the folder and its program can go
  }

  // kn_test_service.ini beside the program: its name and `more` lines.
  void configure(const std::string& more) {
    test::writeBytes(folder_ + "/kn_test_service.ini", "name=" + name_ + "\r\n" + more);
  }

  // The copy of kn_test_service with `options`, as an administrator runs it.
  ProgramResult runProgram(std::vector<std::string> options) {
    ProgramRun run;
    run.argv = {exe_};
    run.argv.insert(run.argv.end(), options.begin(), options.end());
    return os().runProgram(run);
  }

  // Polls the state until it is `state` or `limit` has passed; the last state seen.
  int waitForState(int state, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    int now = control_.queryState(name_);
    while (now != state && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(20ms);
      now = control_.queryState(name_);
    }
    return now;
  }

  // The lines of events.txt, each cut after its version ("start 1.0.0.1").
  std::vector<std::string> events() {
    std::vector<std::string> out;
    std::string text = test::readBytes(folder_ + "/events.txt");
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.push_back(line.substr(0, line.rfind(' ')));
    }
    return out;
  }

  std::optional<Recorded> recorded() {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(
        manager ? ::OpenServiceW(manager.get(), win::wide(name_).c_str(), SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) return std::nullopt;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buf(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed)) return std::nullopt;
    auto text = [](const wchar_t* w) { return w ? win::narrow(w) : std::string(); };
    Recorded out{config->dwServiceType,          config->dwStartType,
                 text(config->lpBinaryPathName), text(config->lpServiceStartName),
                 text(config->lpDisplayName),    ""};
    needed = 0;
    ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<unsigned char> descBuf(needed + sizeof(SERVICE_DESCRIPTIONW));
    auto* desc = reinterpret_cast<SERVICE_DESCRIPTIONW*>(descBuf.data());
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descBuf.data(),
                               static_cast<DWORD>(descBuf.size()), &needed))
      out.description = text(desc->lpDescription);
    return out;
  }

  test::TempDir dir_{"kntestsvc"};
  // A blank in the path, as in "C:\\Program Files": the service manager must not take the rest
  // of the path for arguments.
  const std::string folder_ = dir_ / "Kestrane Test";
  const std::string name_ = test::uniqueName("KnTestService_");
  const std::string exe_ = test::backslashed(folder_ + "/kn_test_service.exe");
  IServiceControl& control_ = serviceControl();
};

TEST_F(ServiceHostWin, InstallRecordsTheServiceAndUninstallRemovesIt) {
  ProgramResult install = runProgram({"/INSTALL"});
  ASSERT_TRUE(install.exitedWith(0)) << install.exitCode;
  EXPECT_EQ(install.output, "Service installed successfully\r\n");

  std::optional<Recorded> service = recorded();
  ASSERT_TRUE(service);
  EXPECT_EQ(service->type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(service->start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(service->image, "\"" + exe_ + "\"");  // quoted: a blank in the path is no argument
  EXPECT_EQ(service->account, "LocalSystem");
  EXPECT_EQ(service->displayName, "Kestrane test service " + name_);
  EXPECT_EQ(service->description, "Kestrane test service " + name_);
  EXPECT_EQ(control_.queryState(name_), kServiceStopped);

  // Once only; the registration stays as it was.
  ProgramResult again = runProgram({"/INSTALL"});
  EXPECT_TRUE(again.exitedWith(1));
  EXPECT_TRUE(recorded());

  ProgramResult uninstall = runProgram({"/UNINSTALL"});
  ASSERT_TRUE(uninstall.exitedWith(0)) << uninstall.exitCode;
  EXPECT_EQ(uninstall.output, "Service uninstalled successfully\r\n");
  EXPECT_FALSE(recorded());
  EXPECT_EQ(control_.queryState(name_), kServiceUnknown);
  EXPECT_TRUE(runProgram({"/UNINSTALL"}).exitedWith(1));  // "not installed"
}

// Restarted after a failure: at once, after a minute, then every five minutes. Wine's service
// manager keeps no failure actions (asked for them, it answers ERROR_INVALID_LEVEL).
TEST_F(ServiceHostWin, InstallAsksForARestartAfterEachFailureOnlyOnRealWindows) {
  ProgramResult install = runProgram({"/INSTALL", "/SILENT"});
  ASSERT_TRUE(install.exitedWith(0)) << install.exitCode;
  EXPECT_EQ(install.output, "");
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle service(::OpenServiceW(manager.get(), win::wide(name_).c_str(), SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service);
  DWORD needed = 0;
  ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  std::vector<unsigned char> buf(needed + sizeof(SERVICE_FAILURE_ACTIONSW));
  auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buf.data());
  BOOL read = ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buf.data(),
                                     static_cast<DWORD>(buf.size()), &needed);
  DWORD error = read ? 0 : ::GetLastError();
  if (test::runningUnderWine() && (!read || failure->cActions == 0))
    GTEST_SKIP() << "Wine's service manager keeps no failure actions (query "
                 << (read ? "succeeded" : "failed with " + std::to_string(error)) << ", "
                 << (read ? failure->cActions : 0) << " actions)";
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(failure->dwResetPeriod, 86400u);
  ASSERT_EQ(failure->cActions, 3u);
  DWORD delays[] = {1000, 60000, 300000};
  for (DWORD i = 0; i < 3; ++i) {
    EXPECT_EQ(failure->lpsaActions[i].Type, SC_ACTION_RESTART) << i;
    EXPECT_EQ(failure->lpsaActions[i].Delay, delays[i]) << i;
  }
}

TEST_F(ServiceHostWin, StartsRunsStopsAndStartsAgainUnderTheServiceManager) {
  ASSERT_TRUE(runProgram({"/INSTALL"}).exitedWith(0));
  ASSERT_TRUE(control_.requestStart(name_));
  EXPECT_EQ(waitForState(kServiceRunning, 10s), kServiceRunning);
  EXPECT_FALSE(control_.requestStart(name_));  // already running
  EXPECT_EQ(events(), std::vector<std::string>{"start " KN_PROJECT_VERSION});

  ASSERT_TRUE(control_.requestStop(name_));
  EXPECT_EQ(waitForState(kServiceStopped, 10s), kServiceStopped);
  EXPECT_FALSE(control_.requestStop(name_));  // not running
  EXPECT_EQ(events(), (std::vector<std::string>{"start " KN_PROJECT_VERSION, "stop " KN_PROJECT_VERSION}));

  // As an update does it: stopped, then started again.
  ASSERT_TRUE(control_.requestStart(name_));
  EXPECT_EQ(waitForState(kServiceRunning, 10s), kServiceRunning);
  ASSERT_TRUE(control_.requestStop(name_));
  EXPECT_EQ(waitForState(kServiceStopped, 10s), kServiceStopped);
  EXPECT_EQ(events().size(), 4u);
}

// A service slow to start and to stop is seen pending in between.
TEST_F(ServiceHostWin, PendingStatesAreReportedWhileStartAndStopTakeTheirTime) {
  configure("startDelayMs=1500\r\nstopDelayMs=1500\r\n");
  ASSERT_TRUE(runProgram({"/INSTALL"}).exitedWith(0));
  ASSERT_TRUE(control_.requestStart(name_));
  EXPECT_EQ(control_.queryState(name_), kServiceStartPending);
  EXPECT_EQ(waitForState(kServiceRunning, 10s), kServiceRunning);
  ASSERT_TRUE(control_.requestStop(name_));
  EXPECT_EQ(waitForState(kServiceStopPending, 1s), kServiceStopPending);
  EXPECT_EQ(waitForState(kServiceStopped, 10s), kServiceStopped);
  EXPECT_EQ(events(), (std::vector<std::string>{"start " KN_PROJECT_VERSION, "stop " KN_PROJECT_VERSION}));
}

TEST_F(ServiceHostWin, UninstallStopsARunningServiceAndRemovesIt) {
  ASSERT_TRUE(runProgram({"/INSTALL"}).exitedWith(0));
  ASSERT_TRUE(control_.requestStart(name_));
  ASSERT_EQ(waitForState(kServiceRunning, 10s), kServiceRunning);
  ASSERT_TRUE(runProgram({"/UNINSTALL"}).exitedWith(0));
  EXPECT_EQ(waitForState(kServiceUnknown, 10s), kServiceUnknown);
  EXPECT_EQ(events(), (std::vector<std::string>{"start " KN_PROJECT_VERSION, "stop " KN_PROJECT_VERSION}));
}

TEST(ServiceControlWin, UnknownServicesAreUnknownAndRefuseEveryRequest) {
  IServiceControl& control = serviceControl();
  for (const std::string& name : {test::uniqueName("KnNoSuchService_"), std::string(), std::string("a\\b")}) {
    EXPECT_EQ(control.queryState(name), kServiceUnknown) << name;
    EXPECT_FALSE(control.requestStart(name)) << name;
    EXPECT_FALSE(control.requestStop(name)) << name;
  }
}

}  // namespace
}  // namespace kn
