// One update of one watched application: download its package, stop its service, unpack the
// package into the updater's folder, start the service again. Each step logs "UPD: " lines to the
// application's daily log file. Lives for one attempt on the calling update thread, which it blocks.
#pragma once

#include <string>

#include "KNException.h"
#include "globals.h"

namespace kn {

// A package that cannot be unpacked: not a ZIP archive, a wrong password, a corrupt entry, or a
// file that cannot be written.
KN_DECLARE_EXCEPTION(EZipError, Exception);

// The password of every package (traditional ZIP encryption); unencrypted packages are accepted too.
inline constexpr const char* kPackagePassword = "4721";

// Unpacks every file entry of the ZIP archive `zipPath` into `folder` under its bare file name
// (folders stored in the archive are dropped; entries named "", "." or ".." are skipped), all or
// nothing: every entry is first written whole into a temporary file beside its target, and only
// when all have succeeded are they renamed over the targets. A replaced file keeps its permission
// bits; a new one takes the archive's permission bits (less set-id, sticky and group or other
// write), or 0644. Throws EZipError, also for an archive that holds no file.
void unpackPackage(const std::string& zipPath, const std::string& folder, const std::string& password);

class TWUServiceUpdater {
 public:
  // `service` empty: files are replaced without stopping or starting anything.
  // `folder` is the updater's folder, ending in "/".
  TWUServiceUpdater(std::string exename, std::string appid, std::string service,
                    std::string folder = updaterFolder());

  // Download, stop, install, start. Throws the download's error before anything was stopped, or
  // the install's error after the service has been started again.
  void Execute();

  void doDownload();
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
};

}  // namespace kn
