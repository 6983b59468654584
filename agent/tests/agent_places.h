// The machine-wide places of the agent's state as the tests of identity, key and schedule see
// them, one half per system (AgentPlacesLinux.cpp, AgentPlacesWin.cpp):
//
//   Linux    everything below KN_SYSROOT, which each test points at a temporary folder of its own:
//            the hive file HKLM.reg, var/lib/Kestrane/..., owner-only modes for private files
//   Windows  the real ProgramData and the real registry (64-bit view), with the hidden attribute
//            for private files. What a test changes there is put back when it ends: the Identity
//            folder and the agent's HKLM keys are moved aside while it runs. Tests that use these
//            fixed places therefore run one at a time (CTest's resource lock "kn-machine").
#pragma once

#include <string>

namespace kn::test {

// Saves the fixed places for the life of the object and gives them back empty; puts the saved
// state back afterwards. Create it after the test's temporary root (KN_SYSROOT on Linux).
class MachinePlaces {
 public:
  MachinePlaces();
  ~MachinePlaces();
  MachinePlaces(const MachinePlaces&) = delete;
  MachinePlaces& operator=(const MachinePlaces&) = delete;

  // The primary copy of the identity, "PCID.ini" in the folder "Identity" of "Kestrane" in the
  // common application data.
  std::string identityFile() const;
  // Puts a file where the identity's folder would be made, so that no copy can be written.
  void blockIdentityFolder() const;
  // The agent's HKLM keys (the group policy's and the stored keys') become exactly what `body` holds:
  // hive text (key and value lines, as regedit writes them) below its header line.
  void writeHKLM(const std::string& body) const;

 private:
  struct Saved;
  Saved* saved_ = nullptr;
};

// True when `path` is kept private as this system marks it: Linux mode 0600 for a file and 0700
// for a folder, exactly; Windows the hidden attribute.
bool isPrivateFile(const std::string& path);
bool isPrivateFolder(const std::string& path);

// A maker's name for the stores and folders of one test (Linux "Kestrane", below the test's own
// KN_SYSROOT; Windows a name of the test's own, so that tests running side by side never meet), and
// the removal of everything made under it (nothing on Linux, where the temporary root goes anyway).
std::string scratchCompany();
void removeScratchCompany(const std::string& company);

// A scratchCompany() that is the configuration stores' maker name (configCompany()) while the object
// lives; everything made under it is removed at the end (AgentPlaces.cpp).
class ScratchCompany {
 public:
  ScratchCompany();
  ~ScratchCompany();
  ScratchCompany(const ScratchCompany&) = delete;
  ScratchCompany& operator=(const ScratchCompany&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_, previous_;
};

// Whether the current user's settings of `company` were ever saved (Linux: the HKCU hive file;
// Windows: HKCU\Software\<company>), and their removal.
bool userSettingsExist(const std::string& company);
void removeUserSettings(const std::string& company);

}  // namespace kn::test
