// One update of one watched application: download its package (and, where a public key is
// configured, its signature, which must prove the package is the publisher's), read, check and
// write every file of it beside its target, stop the services that run the files it replaces,
// put the files in place, start the services again. A package that fails any check touches no
// service. Each step logs "UPD: " lines to the application's daily log file. Lives for one
// attempt on the calling update thread, which it blocks; a stop request ends it early, with the
// files as they were and the services started again.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "InstallRecord.h"
#include "KNException.h"
#include "PackageUnpack.h"
#include "globals.h"

namespace kn {

// An entry of the configuration, as far as an update of another entry needs to know it.
struct AppOwner {
  std::string exe;
  std::string appid;
  std::string service;
};

class TWUServiceUpdater {
 public:
  // `service` empty: files are replaced without stopping or starting anything.
  // `folder` is the updater's folder, ending in "/". `publicKey` is the path of the PEM Ed25519
  // key that every package must be signed with; empty: packages are not signed.
  TWUServiceUpdater(std::string exename, std::string appid, std::string service,
                    std::string folder = updaterFolder(), std::string publicKey = config().publicKeyPath());
  ~TWUServiceUpdater();

  // The configuration's entries: the services of those that share the appid, or whose "exe" the
  // package replaces, are stopped and started together with our own.
  void setOwners(std::vector<AppOwner> owners) { owners_ = std::move(owners); }
  // Every step looks at `stop`; a stop throws EUpdateStopped.
  void setStop(std::stop_token stop) { stop_ = std::move(stop); }
  // The system the package is unpacked and put in place through (tests pass a failing one).
  void setOs(Os& sys) { sys_ = &sys; }

  // Download, check, stop, install, start; true when the package was installed. A package whose
  // SHA-256 is `skipHash` is not installed (false, nothing stopped). Throws the download's, the
  // signature's or the check's error before anything was stopped, or the install's error (or
  // EUpdateStopped) after the services have been started again.
  bool Execute(const std::string& skipHash = "");
  // The SHA-256 of the package downloaded last (hex), "" before a download.
  const std::string& packageHash() const { return hash_; }

  // Downloads the package into the updater's private folder, then fetches and verifies its
  // signature when a key is configured (ESignatureError).
  void doDownload();
  // Reads the whole package and writes its files beside their targets; refuses, before anything
  // is stopped, a package that could not be installed (EZipError).
  void checkDownload();
  // The bare names of the updater's own program, configuration and key when they lie in the
  // folder: no package may replace them.
  std::vector<std::string> ownFiles() const;
  void stopService();
  void doInstall();
  void startService();

 private:
  void updLog(const std::string& text) const;
  // Polls `service` until it reaches `wanted`, reads 0, 21 queries were made or a stop came.
  void awaitState(const std::string& service, int wanted) const;
  void dropDownload();

  std::string exename_;
  std::string appid_;
  std::string service_;
  std::string folder_;
  std::string publicKey_;
  std::vector<AppOwner> owners_;
  std::stop_token stop_;
  Os* sys_ = &os();
  std::string download_;  // the package file, "" when there is none
  std::string hash_;
  std::unique_ptr<PreparedPackage> prepared_;
  std::vector<std::string> services_;  // stopped and started around the install
  std::string recordPath_;
  InstallRecord record_;
};

}  // namespace kn
