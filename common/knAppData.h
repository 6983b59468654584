// An application's private data folder below one of the system's application-data folders,
// grouped under the maker's name, with a Temp folder that is emptied whenever the object is
// created or destroyed, and a Logs folder.
//
//   machine-wide  $KN_SYSROOT/var/lib                      (commonAppData)
//   local         ${XDG_DATA_HOME:-$HOME/.local/share}      (localAppdata)
//   roaming       ${XDG_CONFIG_HOME:-$HOME/.config}         (neither flag)
//
// e.g. /var/lib/Kestrane/ZARODIRazev/ with Temp/ and Logs/ below it. Folders that cannot be
// created and files that cannot be deleted are not reported.
//
// One instance lives process-wide (appData(), set by TKNAppData::Init during start-up, before
// worker threads exist, and only read afterwards). Other instances belong to their creator.
#pragma once

#include <string>

namespace kn {

class TKNAppData {
 public:
  // Computes the folders, creates them with any missing parents and empties Temp. Both flags
  // true throws "TKNAppData: cannot specify commonAppData and localAppData at the same time"
  // before anything is created.
  TKNAppData(const std::string& asubfolder, const std::string& acompanyName, bool commonAppData,
             bool localAppdata);
  // Empties Temp once more; the folders stay.
  ~TKNAppData();
  TKNAppData(const TKNAppData&) = delete;
  TKNAppData& operator=(const TKNAppData&) = delete;

  std::string subFolder;
  std::string companyName;
  std::string appFolder;   // base + "/" + companyName + "/" + subFolder + "/"
  std::string tempFolder;  // appFolder + "Temp/"
  std::string logfolder;   // appFolder + "Logs/"

  // Replaces the process-wide instance (the previous one is freed first, emptying its Temp) by a
  // new one with localAppdata false. If creating it throws, appData() stays null.
  static void Init(const std::string& aSubFolder, const std::string& aCompanyName, bool commonAppData);

  // Makes appFolder private to its owner (mode 0700); a failure is ignored.
  void hideAppFolder();

  // A full file name in tempFolder that does not exist yet ("2024-01-15-13-45-07-123-512.json");
  // the file is not created. Throws "TKNAppData: Could not create temporary file after 1000
  // tries" when 999 candidates all exist.
  std::string getTempFN(const std::string& extension);

 private:
  void emptyTemp();
};

// The process-wide instance; null before Init.
TKNAppData* appData();
// Frees the process-wide instance (emptying its Temp); at exit this happens by itself.
void releaseAppData();

}  // namespace kn
