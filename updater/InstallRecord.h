// The record of an install in progress, so that one cut short by a crash or a kill is finished or
// rolled back at the next start and the services it stopped run again.
//
// An update writes its record whole (Os::writeFile) into the updater's private folder before it
// stops any service: which application it updates and which services it stops. Just before the
// first file is put in place it writes the record again with the list of staged files. The record
// is removed once the services have been started again. At start-up, before any update thread
// runs, recoverInterruptedInstalls acts on every record left behind.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "PackageUnpack.h"

namespace kn {

struct InstallRecord {
  std::string exename;                // whose log the recovery writes to
  std::vector<std::string> services;  // stopped for the install: started again afterwards
  std::vector<StagedFile> files;      // empty until the renames begin
};

// The updater's private folder below `folder` (ending in "/"): ".kn-updater/", created with mode
// 0700 when missing. Downloads and install records live there, where no package entry can reach
// (a package cannot replace a folder). Throws EOSError when it cannot be made or is no folder.
std::string updaterPrivateFolder(const std::string& folder);

// The text of a record and back: one line per item, names percent-encoded where they hold "%",
// a tab or a control character. Lines that cannot be read are ignored.
std::string formatInstallRecord(const InstallRecord& record);
InstallRecord parseInstallRecord(std::string_view text);

// Writes `record` whole to `path`.
void writeInstallRecord(const std::string& path, const InstallRecord& record);

// Acts on every record in the private folder of `folder`: an install whose renames had begun is
// finished (every staged file still there put in place), one that had not is left as it was (its
// temporary files are then removed with the other leftovers); the record's services are started;
// the record is removed. Stale downloads are removed too. Logs to the main log and the
// application's log. Returns how many records were found.
int recoverInterruptedInstalls(const std::string& folder);

}  // namespace kn
