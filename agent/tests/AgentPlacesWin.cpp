// The real places: ProgramData and the registry's 64-bit view. The Identity folder is renamed
// aside while a test runs and the agent's HKLM keys are copied below a key of the test's own, then
// both are put back, so that running the tests on a machine with an agent costs it nothing.
// The registry seam's names come first: <windows.h> makes HKEY_LOCAL_MACHINE a macro.
#include "KNRegistry.h"
#include "KNRegistryHive.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "KNTestTempDir.h"
#include "KNWinTestSupport.h"
#include "KNWinText.h"
#include "agent_places.h"
#include "knAppDataFolders.h"

namespace kn::test {

namespace fs = std::filesystem;

namespace {

// The keys the agent and kn-apikey read and write below HKLM.
const char* const kAgentKeys[] = {
    "Software\\Policies\\ZARODIRazev",
    "Software\\Policies\\RIVAVUDozu",
    "Software\\Kestrane\\.ak_zarodirazev",
    "Software\\Kestrane\\.ak_rivavudozu",
};

bool keyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, win::wide(path).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return false;
  ::RegCloseKey(key);
  return true;
}

// The key with its values and everything below it; nothing when it is not there.
void deleteKeyTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, win::wide(path).c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return;
  ::RegDeleteTreeW(key, nullptr);
  ::RegCloseKey(key);
  ::RegDeleteKeyExW(root, win::wide(path).c_str(), KEY_WOW64_64KEY, 0);
}

// Copies the tree at `from` to `to` (made when missing).
void copyKeyTree(HKEY root, const std::string& from, const std::string& to) {
  HKEY source = nullptr, target = nullptr;
  if (::RegOpenKeyExW(root, win::wide(from).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &source) != ERROR_SUCCESS)
    throw std::runtime_error("cannot open " + from);
  LONG rc = ::RegCreateKeyExW(root, win::wide(to).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                              &target, nullptr);
  if (rc == ERROR_SUCCESS) rc = ::RegCopyTreeW(source, nullptr, target);
  ::RegCloseKey(source);
  if (target) ::RegCloseKey(target);
  if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot copy " + from + " to " + to + ": " + win::errorText(rc));
}

std::string identityFolder() { return shellFolder(ShellFolder::CommonAppData) + "\\Kestrane\\Identity"; }

fs::path wpath(const std::string& path) { return fs::path(win::widePath(path)); }

}  // namespace

struct MachinePlaces::Saved {
  std::string backupKey = "Software\\" + uniqueName("KnTestSaved_");
  std::vector<bool> keySaved;
  std::string identityAside;  // "" when there was no Identity folder
};

MachinePlaces::MachinePlaces() : saved_(new Saved) {
  for (size_t i = 0; i < std::size(kAgentKeys); ++i) {
    bool there = keyExists(HKEY_LOCAL_MACHINE, kAgentKeys[i]);
    if (there) copyKeyTree(HKEY_LOCAL_MACHINE, kAgentKeys[i], saved_->backupKey + "\\" + std::to_string(i));
    saved_->keySaved.push_back(there);
    deleteKeyTree(HKEY_LOCAL_MACHINE, kAgentKeys[i]);
  }
  std::error_code ec;
  if (fs::exists(wpath(identityFolder()), ec)) {
    saved_->identityAside = identityFolder() + "." + uniqueName("kntest-");
    fs::rename(wpath(identityFolder()), wpath(saved_->identityAside));
  }
}

MachinePlaces::~MachinePlaces() {
  for (size_t i = 0; i < std::size(kAgentKeys); ++i) {
    deleteKeyTree(HKEY_LOCAL_MACHINE, kAgentKeys[i]);
    if (saved_->keySaved[i]) {
      try {
        copyKeyTree(HKEY_LOCAL_MACHINE, saved_->backupKey + "\\" + std::to_string(i), kAgentKeys[i]);
      } catch (const std::exception&) {
        // The copy below backupKey stays for an administrator to restore by hand.
        continue;
      }
    }
  }
  deleteKeyTree(HKEY_LOCAL_MACHINE, saved_->backupKey);
  std::error_code ec;
  fs::remove_all(wpath(identityFolder()), ec);
  if (!saved_->identityAside.empty()) fs::rename(wpath(saved_->identityAside), wpath(identityFolder()), ec);
  delete saved_;
}

std::string MachinePlaces::identityFile() const {
  return shellFolder(ShellFolder::CommonAppData) + "/Kestrane/Identity/PCID.ini";
}

void MachinePlaces::blockIdentityFolder() const { writeBytes(identityFolder(), "not a folder"); }

void MachinePlaces::writeHKLM(const std::string& body) const {
  for (const char* key : kAgentKeys) deleteKeyTree(HKEY_LOCAL_MACHINE, key);
  Hive hive = parseHive("Windows Registry Editor Version 5.00\r\n\r\n" + body, "test hive");
  const std::string root = "HKEY_LOCAL_MACHINE\\";
  for (const HiveKey& key : hive.keys) {
    if (key.path.rfind(root, 0) != 0) throw std::runtime_error("not below HKLM: " + key.path);
    const std::string path = key.path.substr(root.size());
    registry()->createKey(RegRoot::LocalMachine, path);
    for (const RegValue& v : key.values) {
      if (v.type == RegType::DWord)
        registry()->writeDword(RegRoot::LocalMachine, path, v.name, v.number);
      else if (v.type == RegType::String)
        registry()->writeString(RegRoot::LocalMachine, path, v.name, v.text);
      else
        throw std::runtime_error("a value type the tests do not write: " + v.name);
    }
  }
}

bool isPrivateFile(const std::string& path) {
  DWORD a = ::GetFileAttributesW(win::widePath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_HIDDEN);
}

bool isPrivateFolder(const std::string& path) {
  DWORD a = ::GetFileAttributesW(win::widePath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_HIDDEN);
}

std::string scratchCompany() { return uniqueName("KnAgentTest_"); }

void removeScratchCompany(const std::string& company) {
  deleteKeyTree(HKEY_CURRENT_USER, "Software\\" + company);
  deleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\" + company);
  for (ShellFolder f : {ShellFolder::CommonAppData, ShellFolder::LocalAppData, ShellFolder::RoamingAppData}) {
    std::error_code ec;
    fs::remove_all(wpath(shellFolder(f) + "\\" + company), ec);
  }
}

bool userSettingsExist(const std::string& company) { return keyExists(HKEY_CURRENT_USER, "Software\\" + company); }
void removeUserSettings(const std::string& company) { deleteKeyTree(HKEY_CURRENT_USER, "Software\\" + company); }

}  // namespace kn::test
