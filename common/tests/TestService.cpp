// kn_test_service: a small service program on the service host, for the tests that drive the
// system's real service manager: the service host's and service control's own tests, and the
// updater's end-to-end test, which stops a watched service, replaces its executable and starts it
// again.
//
// The service manager starts it with no arguments, so all it needs sits beside its executable:
//
//   kn_test_service.ini  optional lines "key=value":
//                          name=<service name>       default "kn_test_service"
//                          display=<display name>    default "Kestrane test service <name>"
//                          startDelayMs=<n>          start() waits n ms (the start stays pending)
//                          stopDelayMs=<n>           stop() waits n ms (the stop stays pending)
//   events.txt           one line appended for each start and stop, written before start()
//                        returns and before stop() does:
//                          start <version> <process id>
//                          stop <version> <process id>
//                        <version> is the executable's own version resource (ownVersion()), so a
//                        test sees which executable ran after an update replaced it.
//
// Its command line is the service host's: kn_test_service [/INSTALL | /UNINSTALL] [/SILENT].
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "KNEnv.h"
#include "KNServiceHost.h"
#include "KNVersion.h"

#ifdef _WIN32
#include <process.h>
#define KN_GETPID _getpid
#else
#include <unistd.h>
#define KN_GETPID getpid
#endif

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> readSettings(const fs::path& file) {
  std::map<std::string, std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

int milliseconds(const std::map<std::string, std::string>& settings, const std::string& key) {
  auto it = settings.find(key);
  return it == settings.end() ? 0 : std::atoi(it->second.c_str());
}

class TestService final : public kn::ServiceModule {
 public:
  explicit TestService(const fs::path& folder) : folder_(folder) {
    auto settings = readSettings(folder / "kn_test_service.ini");
    name_ = settings.count("name") ? settings["name"] : "kn_test_service";
    display_ = settings.count("display") ? settings["display"] : "Kestrane test service " + name_;
    startDelayMs_ = milliseconds(settings, "startDelayMs");
    stopDelayMs_ = milliseconds(settings, "stopDelayMs");
  }

  kn::ServiceRegistration registration() override { return {name_, display_, 5000 + startDelayMs_, 10000}; }

  bool start() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(startDelayMs_));
    record("start");
    return true;
  }

  void execute(kn::ServiceContext& ctx) override {
    while (!ctx.terminated()) {
      ctx.waitForRequest(std::chrono::seconds(60));
      ctx.processRequests();
    }
  }

  bool stop() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(stopDelayMs_));
    record("stop");
    return true;
  }
  bool hasStopHandler() const override { return true; }

 private:
  void record(const std::string& event) {
    std::ofstream(folder_ / "events.txt", std::ios::app)
        << event << ' ' << kn::ownVersion() << ' ' << KN_GETPID() << std::endl;
  }

  fs::path folder_;
  std::string name_, display_;
  int startDelayMs_ = 0, stopDelayMs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (auto exit = kn::commandLineExit("kn_test_service", argc, argv)) return *exit;
  const std::string folder = kn::exeFolder();  // UTF-8, which a path takes as char8_t
  TestService service(fs::path(std::u8string(folder.begin(), folder.end())));
  return kn::runServiceApplication(service, argc, argv);
}
