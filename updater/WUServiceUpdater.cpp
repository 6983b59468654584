#include "WUServiceUpdater.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "KNServiceControl.h"
#include "PackageSignature.h"
#include "knHttpGet.h"
#include "knLOG2.h"
#include "knWebUpdateChecker.h"

namespace kn {

TWUServiceUpdater::TWUServiceUpdater(std::string exename, std::string appid, std::string service,
                                     std::string folder, std::string publicKey)
    : exename_(std::move(exename)),
      appid_(std::move(appid)),
      service_(std::move(service)),
      folder_(std::move(folder)),
      publicKey_(std::move(publicKey)) {}

std::string TWUServiceUpdater::packageFile() const {
  std::string name = appid_ + ".zip";
  std::replace(name.begin(), name.end(), '/', '_');  // it stays in the updater's folder
  return folder_ + name;
}

void TWUServiceUpdater::updLog(const std::string& text) const { logTo(exename_, "UPD: " + text); }

void TWUServiceUpdater::Execute() {
  doDownload();
  checkDownload();
  stopService();
  try {
    doInstall();
  } catch (...) {
    startService();
    throw;
  }
  startService();
}

void TWUServiceUpdater::doDownload() {
  updLog("Downloading " + appid_ + ".pkg...");
  std::string file = packageFile();
  std::remove(file.c_str());
  std::string url = updateServerBase() + appid_ + ".pkg";
  httpGetToFile(url, file, kMaxPackageBytes);
  updLog("Download finished OK");
  if (publicKey_.empty()) return;
  try {
    std::string signature;
    try {
      signature = httpGetSmall(url + ".sig", kMaxSignatureDownload);
    } catch (const EHttpError& e) {
      throw ESignatureError(std::string("The package signature cannot be fetched: ") + e.what());
    }
    verifyPackageSignature(file, signature, loadPublicKey(publicKey_));
  } catch (const ESignatureError&) {
    std::remove(file.c_str());  // never leave unproven bytes where they could be taken for ours
    throw;
  }
  updLog("Package signature OK");
}

void TWUServiceUpdater::checkDownload() { checkPackage(packageFile(), folder_, kPackagePassword); }

void TWUServiceUpdater::awaitState(int wanted) const {
  int state = 0;
  int attempt = 0;
  do {
    state = serviceControl().queryState(service_);
    ++attempt;
    updLog("  checking status " + std::to_string(state) + " attempt " + std::to_string(attempt));
    std::this_thread::sleep_for(updaterTicks().servicePoll);
  } while (state != 0 && state != wanted && attempt <= 20);
}

void TWUServiceUpdater::stopService() {
  if (service_.empty()) return;
  updLog("StopService:...");
  updLog(serviceControl().requestStop(service_) ? "  1" : "  0");
  awaitState(1);
  updLog("StopService: Done");
}

void TWUServiceUpdater::startService() {
  if (service_.empty()) return;
  updLog("StartService:...");
  updLog(serviceControl().requestStart(service_) ? "  1" : "  0");
  awaitState(4);
  updLog("StartService: Done");
}

void TWUServiceUpdater::doInstall() {
  std::string file = packageFile();
  updLog("Installing update:...");
  unpackPackage(file, folder_, kPackagePassword, [this](const std::string& line) { updLog(logSafe(line)); });
  updLog("Installing update: OK, removing update file...");
  std::remove(file.c_str());
  updLog("Installing update: OK, removed update file: OK");
}

}  // namespace kn
