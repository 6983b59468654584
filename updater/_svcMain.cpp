// svcupdater: the service updater.
#include "_svcMain.h"

#include <chrono>
#include <cstdio>

#include "InstallRecord.h"
#include "PackageSignature.h"
#include "PackageUnpack.h"
#include "knLOG2.h"

namespace kn {

using namespace std::chrono_literals;

DIdevozEriDodariz::DIdevozEriDodariz(const TUpdaterConfig& cf) : cf_(cf) { setServiceName(); }

DIdevozEriDodariz::~DIdevozEriDodariz() { ux_.reset(); }

void DIdevozEriDodariz::log(const std::string& msg) const { logObj("DIdevozEriDodariz", this, msg); }

void DIdevozEriDodariz::setServiceName() {
  name_ = cf_.name();
  log("Service name: " + name_);
  if (!isValidServiceName(name_))
    throw EServiceHostError(
        "Invalid service name \"" + name_ +
        "\" in the configuration: use letters, digits and underscores, not beginning with a digit");
}

void DIdevozEriDodariz::beforeInstall() {
  setServiceName();
  log("Installing " + name_);
}

void DIdevozEriDodariz::beforeUninstall() {
  setServiceName();
  log("Uninstalling " + name_);
}

bool DIdevozEriDodariz::start() {
  log("Service starting...");
  if (int n = recoverInterruptedInstalls(updaterFolder()); n > 0)
    log("Acted on " + std::to_string(n) + " record(s) of an interrupted update");
  if (int n = removeUnpackLeftovers(updaterFolder()); n > 0)
    log("Removed " + std::to_string(n) + " temporary file(s) of an interrupted update");
  if (cf_.publicKeyPath().empty()) {
    log("Packages are not signed: no \"publickey\" in the configuration");
  } else {
    try {
      loadPublicKey(cf_.publicKeyPath());
      log("Packages must carry an Ed25519 signature by the key " + logSafe(cf_.publicKeyPath()));
    } catch (const std::exception& e) {
      // Updates fail, each with this reason, until the key is fixed; nothing unsigned installs.
      log(std::string("No package can be installed: ") + logSafe(e.what()));
    }
  }
  ux_ = std::make_unique<TUpdateRunner>(false, cf_);
  log("Service started");
  return true;
}

void DIdevozEriDodariz::execute(ServiceContext& ctx) {
  log("Service execution starting.");
  try {
    ux_->execute();
  } catch (const std::exception& e) {
    logException(e, "ux.execute failed");
  }
  while (!ctx.terminated()) {
    ctx.waitForRequest(updaterTicks().hostTick);  // a stop is noticed at once, else once a tick
    ctx.processRequests();
  }
  ux_->Terminate();
  log("Service execution terminated.");
}

}  // namespace kn

int main(int argc, char** argv) {
  if (auto rc = kn::commandLineExit("svcupdater", argc, argv)) return *rc;
  kn::initLog(kn::LogStyle::Updater);
  kn::LoadConfig();  // ends the process with exit code 255 when the configuration is unusable

  std::unique_ptr<kn::DIdevozEriDodariz> module;
  try {
    module = std::make_unique<kn::DIdevozEriDodariz>(kn::config());
  } catch (const std::exception& e) {
    kn::logException(e, "Creating the service module");
    std::fprintf(stderr, "%s\n", e.what());
    return 255;
  }
  kn::logMsg("Application.Run..");
  int rc = kn::runServiceApplication(*module, argc, argv);
  kn::logMsg("Bye");
  return rc;
}
