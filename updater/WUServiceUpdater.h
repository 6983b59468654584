// One update of one watched application: download its package (and, where a public key is
// configured, its signature, which must prove the package is the publisher's), check that the
// package can be installed, stop the application's service, unpack the package into the
// updater's folder, start the service again. Each step logs "UPD: " lines to the application's
// daily log file. Lives for one attempt on the calling update thread, which it blocks.
#pragma once

#include <string>

#include "KNException.h"
#include "PackageUnpack.h"
#include "globals.h"

namespace kn {

class TWUServiceUpdater {
 public:
  // `service` empty: files are replaced without stopping or starting anything.
  // `folder` is the updater's folder, ending in "/". `publicKey` is the path of the PEM Ed25519
  // key that every package must be signed with; empty: packages are not signed.
  TWUServiceUpdater(std::string exename, std::string appid, std::string service,
                    std::string folder = updaterFolder(), std::string publicKey = config().publicKeyPath());

  // Download, check, stop, install, start. Throws the download's, the signature's or the check's
  // error before anything was stopped, or the install's error after the service has been started
  // again.
  void Execute();

  // Downloads the package, then fetches and verifies its signature when a key is configured (a
  // package that fails is deleted again; ESignatureError).
  void doDownload();
  // Refuses, before anything is stopped, a package that could not be installed (EZipError).
  void checkDownload();
  void stopService();
  void doInstall();
  void startService();

 private:
  // The folder, then the appid (any "/" in it as "_") and ".zip".
  std::string packageFile() const;
  void updLog(const std::string& text) const;
  // Polls the service until it reaches `wanted`, reads 0, or 21 queries were made.
  void awaitState(int wanted) const;

  std::string exename_;
  std::string appid_;
  std::string service_;
  std::string folder_;
  std::string publicKey_;
};

}  // namespace kn
