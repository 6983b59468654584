// The places below KN_SYSROOT: the test's temporary root holds them all, so nothing is saved.
#include <filesystem>

#include "KNEnv.h"
#include "KNRegistryLinux.h"
#include "KNTestTempDir.h"
#include "agent_places.h"

namespace kn::test {

namespace fs = std::filesystem;

struct MachinePlaces::Saved {};

MachinePlaces::MachinePlaces() = default;
MachinePlaces::~MachinePlaces() = default;

std::string MachinePlaces::identityFile() const { return underSysRoot("/var/lib/Kestrane/Identity/PCID.ini"); }

void MachinePlaces::blockIdentityFolder() const {
  writeBytes(underSysRoot("/var/lib/Kestrane"), "not a folder");
}

void MachinePlaces::writeHKLM(const std::string& body) const {
  writeBytes(underSysRoot("/etc/kestrane/HKLM.reg"), "Windows Registry Editor Version 5.00\r\n\r\n" + body);
}

bool isPrivateFile(const std::string& path) {
  return (fs::status(path).permissions() & fs::perms::all) == (fs::perms::owner_read | fs::perms::owner_write);
}

bool isPrivateFolder(const std::string& path) {
  return (fs::status(path).permissions() & fs::perms::all) == fs::perms::owner_all;
}

std::string scratchCompany() { return "Kestrane"; }
void removeScratchCompany(const std::string&) {}

bool userSettingsExist(const std::string&) { return fs::exists(hiveFilePath(HKEY_CURRENT_USER)); }
void removeUserSettings(const std::string&) { fs::remove(hiveFilePath(HKEY_CURRENT_USER)); }

}  // namespace kn::test
