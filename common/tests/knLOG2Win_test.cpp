// The log's files on Windows: the access list of the log folder and of its files, read back from
// the system (GetNamedSecurityInfoW). Some log lines carry secrets, so SYSTEM and Administrators
// have full control and nobody else anything.
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "KNWinTestSupport.h"
#include "KNWinText.h"
#include "knLOG2.h"
#include "knLOG2TestFixture.h"

namespace kn {
namespace {

using KnLog2WinTest = test::KnLog2Test;

// One entry of an access list, in the words of the security descriptor language.
struct Ace {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  std::string sid;  // "S-1-5-18"
  bool operator==(const Ace&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Ace& a) {
  return out << "{type " << int(a.type) << " flags 0x" << std::hex << int(a.flags) << " mask 0x" << a.mask
             << std::dec << ' ' << a.sid << '}';
}

std::string sidText(PSID sid) {
  wchar_t* text = nullptr;
  std::string out = ::ConvertSidToStringSidW(sid, &text) ? win::narrow(text) : "?";
  ::LocalFree(text);
  return out;
}

struct AccessList {
  bool read = false;         // GetNamedSecurityInfoW succeeded and there is a DACL
  bool isProtected = false;  // SE_DACL_PROTECTED: nothing inherited from above
  std::vector<Ace> aces;
};

AccessList accessListOf(const std::string& path) {
  AccessList out;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::wstring w = win::widePath(path);
  if (::GetNamedSecurityInfoW(w.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
    return out;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(sd, &control, &revision);
  out.isProtected = control & SE_DACL_PROTECTED;
  out.read = dacl != nullptr;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    Ace ace{header->AceType, header->AceFlags, 0, ""};
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      ace.mask = allowed->Mask;
      ace.sid = sidText(&allowed->SidStart);
    }
    out.aces.push_back(ace);
  }
  ::LocalFree(sd);
  return out;
}

constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";

// SYSTEM and Administrators with full control, in any order, with these ACE flags.
void expectOnlySystemAndAdministrators(const AccessList& list, BYTE flags, const std::string& what) {
  std::vector<Ace> expected = {{ACCESS_ALLOWED_ACE_TYPE, flags, FILE_ALL_ACCESS, kSystem},
                               {ACCESS_ALLOWED_ACE_TYPE, flags, FILE_ALL_ACCESS, kAdministrators}};
  std::vector<Ace> aces = list.aces;
  auto bySid = [](const Ace& a, const Ace& b) { return a.sid < b.sid; };
  std::sort(aces.begin(), aces.end(), bySid);
  std::sort(expected.begin(), expected.end(), bySid);
  EXPECT_TRUE(list.read) << what;
  EXPECT_EQ(aces, expected) << what;
}

// Wine 8.0 keeps no access lists on files: it answers GetNamedSecurityInfoW with one made from
// the Unix mode bits (owner, group, everyone), and SetNamedSecurityInfoW changes nothing.
constexpr const char* kWineHasNoFileAcls =
    "Wine keeps no access lists on files (it reads one made from the Unix mode bits, and "
    "SetNamedSecurityInfoW changes nothing)";

TEST_F(KnLog2WinTest, TheLogFolderAndItsFilesGrantSystemAndAdministratorsAloneOnlyOnRealWindows) {
  if (test::runningUnderWine()) GTEST_SKIP() << kWineHasNoFileAcls;
  initLogAt(dir_.path(), "auditagent");
  logMsg("main");
  logTo("TITAuditMain", "GPO APIKEY? secret");
  AccessList folder = accessListOf(logs(""));
  EXPECT_TRUE(folder.isProtected) << "the folder inherits from above";
  expectOnlySystemAndAdministrators(folder, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, "the log folder");
  // The files get that list by inheritance, at their creation.
  for (const std::string& file : {mainLogFile(), namedLogFile("TITAuditMain")})
    expectOnlySystemAndAdministrators(accessListOf(file), INHERITED_ACE, file);
}

// A log folder made earlier, with what it inherited from above, and its files are tightened when
// the log opens.
TEST_F(KnLog2WinTest, AnExistingLogFolderIsTightenedOnlyOnRealWindows) {
  if (test::runningUnderWine()) GTEST_SKIP() << kWineHasNoFileAcls;
  const std::string folder = dir_.path() + "/logs";
  ASSERT_TRUE(::CreateDirectoryW(win::widePath(folder).c_str(), nullptr));
  test::writeBytes(folder + "/svcupdater.vlog", "older line\r\n");
  ASSERT_FALSE(accessListOf(folder).isProtected);
  initLogAt(dir_.path(), "svcupdater");
  AccessList tightened = accessListOf(folder);
  EXPECT_TRUE(tightened.isProtected);
  expectOnlySystemAndAdministrators(tightened, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                    "the existing folder");
  expectOnlySystemAndAdministrators(accessListOf(folder + "/svcupdater.vlog"), INHERITED_ACE,
                                    "an existing file");
}

// The main file moves aside past its limit each time, over the ".old" of the time before, also
// beside a program in a folder whose name is outside ASCII.
TEST_F(KnLog2WinTest, TheMainFileMovesAsideEachTimeInAFolderOutsideAscii) {
  const std::string folder = dir_.path() + "/Programme f\xc3\xbcr alle";
  ASSERT_TRUE(::CreateDirectoryW(win::widePath(folder).c_str(), nullptr));
  initLogAt(folder, "auditagent");
  auto sizeOf = [](const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win::widePath(path).c_str(), GetFileExInfoStandard, &data)) return -1LL;
    return static_cast<long long>(data.nFileSizeLow) | (static_cast<long long>(data.nFileSizeHigh) << 32);
  };
  auto fill = [](const std::string& path, char c) {
    HANDLE h =
        ::CreateFileW(win::widePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string big(5'000'001, c);
    DWORD done = 0;
    ::WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &done, nullptr);
    ::CloseHandle(h);
  };
  for (char c : {'x', 'y'}) {
    fill(mainLogFile(), c);
    logMsg("fresh");
    EXPECT_EQ(sizeOf(mainLogFile()), 7) << c;  // "fresh\r\n" alone
    EXPECT_EQ(sizeOf(mainLogFile() + ".old"), 5'000'001) << c;
  }
}

}  // namespace
}  // namespace kn
