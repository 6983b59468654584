#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "KNConfig.h"
#include "KNRegistry.h"
#include "KNRegistryLinux.h"
#include "KNRegistryFake.h"
#include "KNOsFaulty.h"
#include "KNRegistryHive.h"
#include "KNSysInfo.h"
#include "KNTempSysRoot.h"
#include "KNTestTempDir.h"
#include "KNTextCodec.h"
#include "knLOG2.h"

namespace kn {
namespace {

using test::TempSysRoot;

class HiveFiles : public ::testing::Test {
 protected:
  TempSysRoot root;
  std::shared_ptr<TRegistry> reg = newSystemRegistry();
  std::string hklm = root.path() + "/sys/etc/kestrane/HKLM.reg";
};

// The hive store on a disk that refuses: settings over it fail where they write, never where they
// only read, and a hive stays as it was before the write that failed.
class HiveFilesOnAFailingDisk : public ::testing::Test {
 protected:
  TempSysRoot root;
  test::FaultyOs sys;
  TScopedRegistry use{newHiveFileRegistry(sys)};
  std::string hkcu = root.path() + "/home/.config/kestrane/HKCU.reg";
};

TEST_F(HiveFilesOnAFailingDisk, AReaderThatCannotWriteStillLoadsWhatIsThere) {
  registry()->writeString(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App", "apikey", "K");
  sys.fail(test::FaultyOs::Op::WriteFile, "", kOSErrors.accessDenied);
  TKNConfig cfg("App");
  cfg.RootKey = HKEY_LOCAL_MACHINE;
  cfg.LoadData();
  EXPECT_EQ(cfg.Get("\\apikey"), "K");
  TKNConfig missing("Missing");
  missing.LoadData();  // cannot be created: contributes nothing, reports nothing
  EXPECT_TRUE(missing.Params.empty());
  EXPECT_GT(sys.failures(), 0);
}

TEST_F(HiveFilesOnAFailingDisk, AFullDiskNamesTheValueAndKeepsTheHiveAsItWas) {
  TKNConfig cfg("App");
  cfg.Put("\\a", "1");
  cfg.Put("s\\b", "2");
  cfg.Put("\\c", "3");
  sys.fail(test::FaultyOs::Op::WriteFile, "HKCU.reg", kOSErrors.diskFull, 1);
  try {
    cfg.SaveData();
    ADD_FAILURE() << "failed write reported as success";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'b'");
  }
  EXPECT_EQ(TempSysRoot::read(hkcu),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Kestrane\\App]\n"
            "\"a\"=\"1\"\n");
}

TEST_F(HiveFiles, ASettingIsStoredAsTheHiveTextItIs) {
  TScopedRegistry use(reg);
  TKNConfig cfg("_devid");
  cfg.Put("\\devid", "abc-123");
  cfg.SaveData();
  EXPECT_EQ(TempSysRoot::read(root.path() + "/home/.config/kestrane/HKCU.reg"),
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Kestrane\\_devid]\n"
            "\"devid\"=\"abc-123\"\n");
}

TEST_F(HiveFiles, WritesAnAtomicPrivateHiveThatAnotherReaderSees) {
  EXPECT_EQ(hiveFilePath(HKEY_LOCAL_MACHINE), hklm);
  EXPECT_EQ(hiveFilePath(HKEY_CURRENT_USER), root.path() + "/home/.config/kestrane/HKCU.reg");

  reg->writeString(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App", "name", "va\"lue\\");
  reg->writeDword(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App", "n", 42);
  EXPECT_EQ(TempSysRoot::read(hklm),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App]\n"
            "\"name\"=\"va\\\"lue\\\\\"\n"
            "\"n\"=dword:0000002a\n");
  struct stat st {};
  ASSERT_EQ(::stat(hklm.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.path() + "/sys/etc/kestrane"), {}),
            2);  // hive and lock only

  auto other = newSystemRegistry();
  EXPECT_EQ(other->readString(HKEY_LOCAL_MACHINE, "SOFTWARE\\kestrane\\APP", "NAME"), "va\"lue\\");
  EXPECT_EQ(other->readString(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App", "missing"), std::nullopt);
  EXPECT_EQ(other->readString(HKEY_CURRENT_USER, "Software\\Kestrane\\App", "name"), std::nullopt);
  try {
    other->readString(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App", "N");
    ADD_FAILURE() << "a dword read as text";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'N'");
  }
}

TEST_F(HiveFiles, KeepsSpellingOrderAndUnknownTypes) {
  TempSysRoot::write(hklm,
                     "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n"
                     "\"Blob\"=hex(7):41,00\n\"First\"=\"1\"\n");
  reg->writeString(HKEY_LOCAL_MACHINE, "software\\a", "FIRST", "one");
  reg->writeString(HKEY_LOCAL_MACHINE, "software\\a", "second", "2");
  reg->createKey(HKEY_LOCAL_MACHINE, "software\\a\\Sub");
  auto values = reg->values(HKEY_LOCAL_MACHINE, "Software\\A");
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0], (RegValue{"Blob", RegType::Other, "hex(7):41,00", 0}));
  EXPECT_EQ(values[1], (RegValue{"First", RegType::String, "one", 0}));
  EXPECT_EQ(values[2].name, "second");
  EXPECT_EQ(reg->subKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\A"), std::vector<std::string>{"Sub"});
  EXPECT_THROW(reg->readString(HKEY_LOCAL_MACHINE, "Software\\A", "blob"), ERegistryException);

  EXPECT_TRUE(reg->deleteValue(HKEY_LOCAL_MACHINE, "Software\\A", "blob"));
  EXPECT_FALSE(reg->deleteValue(HKEY_LOCAL_MACHINE, "Software\\A", "blob"));
  EXPECT_EQ(reg->values(HKEY_LOCAL_MACHINE, "Software\\A").size(), 2u);
}

TEST_F(HiveFiles, ReadsUtf16HivesAndSeesChangesMadeByOthers) {
  std::u16string text =
      u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\S]\r\n\"k\"=\"é€\"\r\n";
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);  // little-endian host
  std::string hkcu = hiveFilePath(HKEY_CURRENT_USER);
  TempSysRoot::write(hkcu, bytes);
  EXPECT_EQ(reg->readString(HKEY_CURRENT_USER, "s", "K"), "é€");

  TempSysRoot::write(hkcu,
                     "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\S]\n\"k\"=\"changed\"\n");
  EXPECT_EQ(reg->readString(HKEY_CURRENT_USER, "s", "k"), "changed");
}

TEST_F(HiveFiles, MalformedHiveIsReportedAndNeverOverwritten) {
  std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:zz\n";
  TempSysRoot::write(hklm, broken);
  try {
    reg->values(HKEY_LOCAL_MACHINE, "A");
    ADD_FAILURE() << "malformed hive accepted";
  } catch (const EHiveFormatError& e) {
    EXPECT_EQ(std::string(e.what()), hklm + ": line 4: invalid dword value");
  }
  EXPECT_THROW(reg->writeString(HKEY_LOCAL_MACHINE, "A", "y", "1"), EHiveFormatError);
  EXPECT_EQ(TempSysRoot::read(hklm), broken);
}

// A machine hive as regedit exports it: UTF-16LE with a byte-order mark, CR LF, comments, values in
// hex form with continuation lines, a default value and deletions.
const char16_t kRegeditExport[] =
    u"\uFEFFWindows Registry Editor Version 5.00\r\n"
    u"\r\n"
    u"; Exported from the reference machine\r\n"
    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    u"\"RegisteredOwner\"=\"Ana Lima\"\r\n"
    u"\"RegisteredOrganization\"=hex(2):4b,00,e9,00,73,00,74,00,72,00,61,00,6e,00,65,00,00,00\r\n"
    u"\"SystemRoot\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,44,00,72,00,69,00,\\\r\n"
    u"  76,00,65,00,25,00,5c,00,57,00,69,00,6e,00,64,00,6f,00,77,00,73,00,00,00\r\n"
    u"\"PathList\"=hex(7):43,00,3a,00,5c,00,00,00,44,00,3a,00,5c,00,00,00,00,00\r\n"
    u"\"InstallDate\"=dword:5f5e1000\r\n"
    u"\"InstallTime\"=hex(b):00,80,3e,d5,de,b1,9d,01\r\n"
    u"\"DigitalProductId\"=hex:a4,00,00,00,03,00,00,00\r\n"
    u"\"Obsolete\"=\"x\"\r\n"
    u"\"Obsolete\"=-\r\n"
    u"@=\"default text\"\r\n"
    u"\r\n"
    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Retired]\r\n"
    u"\"x\"=\"1\"\r\n"
    u"\r\n"
    u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Retired]\r\n"
    u"\r\n"
    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrane\\App]\r\n"
    u"\"Greeting\"=hex(2):48,00,69,00,00,00\r\n"
    u"\"Mode\"=\"on\"\r\n";

TEST_F(HiveFiles, ARegeditExportWorksAsTheMachineHiveAndKeepsWhatIsNotTouched) {
  std::u16string units(kRegeditExport);
  TempSysRoot::write(hklm, std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2));
  TScopedRegistry use(reg);
  const std::string cv = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

  EXPECT_EQ(registeredOwner(), "Ana Lima");
  EXPECT_EQ(registeredOrganization(), "K\u00e9strane");  // REG_EXPAND_SZ reads as text
  EXPECT_EQ(reg->readString(HKEY_LOCAL_MACHINE, cv, "systemroot"), "%SystemDrive%\\Windows");
  EXPECT_EQ(reg->readString(HKEY_LOCAL_MACHINE, cv, ""), "default text");
  EXPECT_EQ(reg->readString(HKEY_LOCAL_MACHINE, cv, "Obsolete"), std::nullopt);
  for (const char* notText : {"PathList", "InstallDate", "InstallTime", "DigitalProductId"})
    EXPECT_THROW(reg->readString(HKEY_LOCAL_MACHINE, cv, notText), ERegistryException) << notText;
  EXPECT_FALSE(reg->keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Retired"));
  std::vector<RegValue> before = reg->values(HKEY_LOCAL_MACHINE, cv);
  ASSERT_EQ(before.size(), 8u);

  TKNConfig cfg("App");
  cfg.RootKey = HKEY_LOCAL_MACHINE;
  cfg.LoadData();
  EXPECT_EQ(cfg.Get("\\Greeting"), "Hi");
  cfg.Put("\\Mode", "off");
  cfg.Put("audit\\next", "1");
  cfg.SaveData();  // writes every item, "\Greeting" too, with the text it already reads as

  std::string bytes = TempSysRoot::read(hklm);
  ASSERT_TRUE(bytes.starts_with("\xFF\xFE")) << "written back in the file's own encoding";
  std::string text = decodeText(bytes);
  EXPECT_EQ(text.find("\n"), text.find("\r\n") + 1);
  EXPECT_NE(text.find("\"PathList\"=hex(7):43,00,3a,00,5c,00,00,00,44,00,3a,00,5c,00,00,00,00,00\r\n"),
            std::string::npos);
  auto reread = newSystemRegistry();
  EXPECT_EQ(reread->values(HKEY_LOCAL_MACHINE, cv), before);
  EXPECT_EQ(reread->values(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App"),
            (std::vector<RegValue>{{"Greeting", RegType::Other, "hex(2):48,00,69,00,00,00", 0},
                                   {"Mode", RegType::String, "off", 0}}));
  EXPECT_EQ(reread->readString(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\App\\audit", "next"), "1");
}

TEST_F(HiveFiles, AMalformedUserHiveIsSetAsideAndTheStoreStartsAfresh) {
  test::TempDir exe;
  initLogAt(exe.path(), "auditagent");
  std::string hkcu = hiveFilePath(HKEY_CURRENT_USER);
  std::mt19937 random(15);
  std::string garbage(4096, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  TempSysRoot::write(hkcu, garbage);
  std::string leftover = hkcu + ".tmp-Ab12Cd";  // a crashed writer's temporary file
  TempSysRoot::write(leftover, "half a hive");

  EXPECT_EQ(reg->readString(HKEY_CURRENT_USER, "Software\\Kestrane\\_devid", "devid"), std::nullopt);
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(root.path() + "/home/.config/kestrane"))
    if (entry.path().filename().string().starts_with("HKCU.reg.corrupt-")) aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(TempSysRoot::read(aside[0]), garbage);
  std::string log = TempSysRoot::read(mainLogFile());
  EXPECT_NE(log.find("Malformed per-user hive moved to \"" + aside[0] + "\""), std::string::npos) << log;
  EXPECT_EQ(log.find('\n'), log.size() - 1) << "one line";

  reg->writeString(HKEY_CURRENT_USER, "Software\\Kestrane\\_devid", "devid", "new");
  EXPECT_EQ(newSystemRegistry()->readString(HKEY_CURRENT_USER, "Software\\Kestrane\\_devid", "devid"), "new");
  EXPECT_FALSE(std::filesystem::exists(leftover));
  resetLog();

  // The machine hive is an administrator's: never moved, never overwritten.
  TempSysRoot::write(hklm, garbage);
  EXPECT_THROW(reg->readString(HKEY_LOCAL_MACHINE, "Software", "x"), EHiveFormatError);
  EXPECT_THROW(reg->writeString(HKEY_LOCAL_MACHINE, "Software", "x", "1"), EHiveFormatError);
  EXPECT_EQ(TempSysRoot::read(hklm), garbage);
}

// A hive spoilt again and again leaves at most five copies beside it: the newest.
TEST_F(HiveFiles, OnlyTheNewestFiveSetAsideCopiesAreKept) {
  std::string hkcu = hiveFilePath(HKEY_CURRENT_USER);
  std::string folder = root.path() + "/home/.config/kestrane";
  const char* older[] = {"20240101-000000", "20240101-000000-2", "20240101-000000-10",
                         "20250101-000000", "20250102-000000",   "20250103-000000"};
  for (const char* stamp : older) TempSysRoot::write(hkcu + ".corrupt-" + stamp, "old");
  TempSysRoot::write(hkcu, "not a hive\n");
  EXPECT_EQ(reg->readString(HKEY_CURRENT_USER, "Software", "x"), std::nullopt);

  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename();
    if (name.starts_with("HKCU.reg.corrupt-")) kept.push_back(name.substr(17));
  }
  std::sort(kept.begin(), kept.end());
  ASSERT_EQ(kept.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(kept.begin(), kept.begin() + 4),
            (std::vector<std::string>{"20240101-000000-10", "20250101-000000", "20250102-000000",
                                      "20250103-000000"}));
  EXPECT_GT(kept[4], "2026") << "the copy just made";
}

TEST_F(HiveFiles, UnwritableHiveIsAnAccessError) {
  TempSysRoot::write(root.path() + "/sys/etc/kestrane", "a file where the folder should be");
  EXPECT_FALSE(reg->keyExists(HKEY_LOCAL_MACHINE, "Software"));  // no hive: nothing there
  EXPECT_THROW(reg->createKey(HKEY_LOCAL_MACHINE, "Software\\A"), ERegistryAccessError);
  EXPECT_THROW(reg->writeString(HKEY_LOCAL_MACHINE, "Software\\A", "x", "1"), ERegistryAccessError);
}

TEST_F(HiveFiles, ConcurrentWritersLoseNothing) {
  // Separate registry objects stand for separate processes: only the file lock orders them.
  constexpr int kWriters = 4, kEach = 10;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([w] {
      auto mine = newSystemRegistry();
      for (int i = 0; i < kEach; ++i)
        mine->writeString(HKEY_CURRENT_USER, "Software\\W" + std::to_string(w), "v" + std::to_string(i), "x");
    });
  }
  for (auto& t : threads) t.join();
  for (int w = 0; w < kWriters; ++w)
    EXPECT_EQ(reg->values(HKEY_CURRENT_USER, "Software\\W" + std::to_string(w)).size(), size_t{kEach});
}

TEST_F(HiveFiles, AWriteStartsFromTheHiveOnDiskEvenWhenItLooksUnchanged) {
  reg->writeString(HKEY_LOCAL_MACHINE, "Software\\A", "next", "2024/01/15 13:45:07");
  ASSERT_EQ(reg->readString(HKEY_LOCAL_MACHINE, "Software\\A", "next"), "2024/01/15 13:45:07");  // cached
  // Another writer's hive of the same size on the same inode with the same modification time:
  // what an inode recycled within one tick of the file-system clock looks like.
  struct stat before {};
  ASSERT_EQ(::stat(hklm.c_str(), &before), 0);
  std::string text = TempSysRoot::read(hklm);
  text.replace(text.find("2024/01/15 13:45:07"), 19, "2025/02/16 14:46:08");
  TempSysRoot::write(hklm, text);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, hklm.c_str(), times, 0), 0);

  reg->writeString(HKEY_LOCAL_MACHINE, "Software\\A", "other", "1");
  EXPECT_EQ(newSystemRegistry()->readString(HKEY_LOCAL_MACHINE, "Software\\A", "next"),
            "2025/02/16 14:46:08");
}

TEST_F(HiveFiles, RegisteredOwnerAndOrganisationComeFromTheHklmHive) {
  TScopedRegistry use(reg);
  EXPECT_EQ(registeredOwner(), "");
  reg->writeString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "RegisteredOwner",
                   "Ana");
  reg->writeDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                  "RegisteredOrganization", 7);
  EXPECT_EQ(registeredOwner(), "Ana");
  EXPECT_EQ(registeredOrganization(), "");  // not text: unreadable
  TempSysRoot::write(hklm, "garbage");
  EXPECT_EQ(registeredOwner(), "");
}

}  // namespace
}  // namespace kn
