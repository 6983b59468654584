// The service the updater's end-to-end test watches: a service module that appends
// "start <FileVersion>" and "stop <FileVersion>" lines to "<program>.events" beside itself and
// otherwise waits for the stop. Its builds differ only in their version resources.
#include <fstream>

#include "KNEnv.h"
#include "KNServiceHost.h"
#include "KNVersion.h"

namespace {

class WatchedService : public kn::ServiceModule {
 public:
  kn::ServiceRegistration registration() override {
    return {"KnWatchedApp", "Kestrane watched test service"};
  }
  bool start() override { return note("start"); }
  void execute(kn::ServiceContext& ctx) override {
    while (!ctx.terminated()) {
      ctx.waitForRequest(std::chrono::seconds(1));
      ctx.processRequests();
    }
  }
  bool hasStopHandler() const override { return true; }
  bool stop() override { return note("stop"); }

 private:
  static bool note(const char* what) {
    std::ofstream out(kn::exePath() + ".events", std::ios::app | std::ios::binary);
    out << what << ' ' << kn::ownVersion() << '\n';
    return static_cast<bool>(out.flush());
  }
};

}  // namespace

int main(int argc, char** argv) {
  WatchedService service;
  return kn::runServiceApplication(service, argc, argv);
}
