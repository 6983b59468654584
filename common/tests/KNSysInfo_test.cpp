#include "KNSysInfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

namespace kn {
namespace {

TEST(KNSysInfoTest, ShortComputerName) {
  EXPECT_EQ(sysinfo::shortComputerName("build-07.lab.example.org"), "build-07");
  EXPECT_EQ(sysinfo::shortComputerName("averyveryverylonghostname"), "averyveryverylo");
  EXPECT_EQ(sysinfo::shortComputerName(".hidden"), "");
  EXPECT_EQ(sysinfo::shortComputerName(""), "");
}

TEST(KNSysInfoTest, LocalAccountsAreFoundByWholeName) {
  const char* passwd =
      "root:x:0:0:root:/root:/bin/bash\n"
      "svc-kn:x:998:998::/var/lib/kn:/usr/sbin/nologin\r\n"
      "+@netgroup::::::\n"
      "broken line\n";
  struct Case {
    const char* name;
    bool local;
  } cases[] = {{"root", true},   {"svc-kn", true}, {"svc", false},       {"roo", false},
               {"alice", false}, {"", false},      {"+@netgroup", true}, {"broken line", false}};
  for (const auto& c : cases) EXPECT_EQ(sysinfo::isLocalAccount(passwd, c.name), c.local) << c.name;
  EXPECT_FALSE(sysinfo::isLocalAccount("", "root"));
}

TEST(KNSysInfoTest, MachineDomainPrefersTheSystemsDomainName) {
  EXPECT_EQ(sysinfo::machineDomain("corp.example", "pc1.other.example", "x.y"), "corp.example");
  EXPECT_EQ(sysinfo::machineDomain("(none)", "pc1.lab.example", "x.y"), "lab.example");
  EXPECT_EQ(sysinfo::machineDomain("", "pc1", "pc1.ad.example"), "ad.example");
  EXPECT_EQ(sysinfo::machineDomain("", "pc1.", "pc1"), "");
}

TEST(KNSysInfoTest, VolumeSerialFormat) {
  EXPECT_EQ(sysinfo::formatVolumeSerial(0x1234ABCD), "1234-ABCD");
  EXPECT_EQ(sysinfo::formatVolumeSerial(0x000F00A0), "000F-00A0");
  EXPECT_EQ(sysinfo::formatVolumeSerial(0xFFFFFFFF), "FFFF-FFFF");
}

TEST(KNSysInfoTest, LiveAnswersKeepTheirForm) {
  std::string name = computerName();
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('.'), std::string::npos);
  EXPECT_FALSE(userName().empty());
  EXPECT_FALSE(accountDomainName().empty());
  std::string serial = volumeSerialNumber('C');
  if (!serial.empty()) {
    EXPECT_TRUE(std::regex_match(serial, std::regex("[0-9A-F]{4}-[0-9A-F]{4}"))) << serial;
  }
  EXPECT_EQ(volumeSerialNumber('c'), serial);
  EXPECT_EQ(volumeSerialNumber('D'), "");
}

}  // namespace
}  // namespace kn
