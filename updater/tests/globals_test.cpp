#include "globals.h"

#include <gtest/gtest.h>

#include "KNEnv.h"
#include "UpdaterTestSupport.h"

namespace kn {
namespace {

using test::TempFolder;

class ConfigTest : public ::testing::Test {
 protected:
  TUpdaterConfig load(const std::string& text) {
    test::writeFile(dir / "svcupdaterconfig", text);
    return TUpdaterConfig::load(dir / "svcupdaterconfig");
  }
  std::string mainLog() { return test::readFile(mainLogFile()); }
  TempFolder dir;
};

TEST_F(ConfigTest, UnusableFilesAreRefusedWithTheirMessage) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"{\"name\": \"x\", \"descr\": ", "CF is nil - something is wrong with the JSON format of the file..."},
      {"[1, 2]", "CF is nil - something is wrong with the JSON format of the file..."},
      {"", "CF is nil - something is wrong with the JSON format of the file..."},
      {R"({"descr": "d", "services": []})", "[name] missing"},
      {R"({"name": "", "descr": "d", "services": []})", "[name] missing"},
      {R"({"name": "u", "services": []})", "[descr] missing"},
      {R"({"name": "u", "descr": "d"})", "[services] array not found."},
      {R"({"name": "u", "descr": "d", "services": {"exe": "a"}})", "[services] array not found."},
  };
  for (const auto& c : cases) {
    try {
      load(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const Exception& e) {
      EXPECT_STREQ(c.message, e.what()) << c.text;
    }
  }
  try {
    TUpdaterConfig::load(dir / "nothere");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ("Config file not found (" + (dir / "nothere") + ")", e.what());
  }
}

TEST_F(ConfigTest, ServerBaseAndPublicKeyAreRead) {
  const std::string head = R"({"name": "u", "descr": "d", "services": [], )";
  TUpdaterConfig cf =
      load(head + R"("updateurl": "https://updates.example/kn/", "publickey": "keys/pub.pem"})");
  EXPECT_EQ("https://updates.example/kn/", cf.updateUrl());
  EXPECT_EQ(dir / "keys/pub.pem", cf.publicKeyPath());  // beside the updater
  cf = load(head + R"("updateurl": "HTTP://10.0.0.1:8080", "publickey": "/etc/kestrane/pub.pem"})");
  EXPECT_EQ("/etc/kestrane/pub.pem", cf.publicKeyPath());
  cf = load(head + R"("x": 1})");
  EXPECT_EQ("", cf.updateUrl());
  EXPECT_EQ("", cf.publicKeyPath());
#ifdef _WIN32
  // The program's own path, and so its configuration's, has backslashes on Windows.
  std::string winDir = dir / "";
  std::replace(winDir.begin(), winDir.end(), '/', '\\');
  test::writeFile(winDir + "svcupdater.execonfig", head + R"("publickey": "pub.pem"})");
  EXPECT_EQ(winDir + "pub.pem", TUpdaterConfig::load(winDir + "svcupdater.execonfig").publicKeyPath());
  test::writeFile(winDir + "svcupdater.execonfig", head + R"("publickey": "C:\\keys\\pub.pem"})");
  EXPECT_EQ("C:\\keys\\pub.pem", TUpdaterConfig::load(winDir + "svcupdater.execonfig").publicKeyPath());
#endif
  for (const char* bad : {"file:///etc/", "ftp://h/", "http://h/a b", "updates.example/"}) {
    EXPECT_THROW(load(head + R"("updateurl": ")" + bad + "\"}"), Exception) << bad;
  }
}

TEST_F(ConfigTest, BadEntriesAreSkippedAndGoodOnesKeepTheirPositions) {
  TUpdaterConfig cf = load(R"({"name": "kSU", "descr": "d", "services": [
      {"exe": "a.bin", "appid": "a", "interval": 5, "service": "a"},
      {"appid": "b", "interval": 5},
      {"exe": "c.bin", "interval": 5},
      {"exe": "d.bin", "appid": "d", "interval": 0},
      {"exe": "e.bin", "appid": "e", "interval": -3},
      {"exe": "f.bin", "appid": "f"},
      {"exe": "A.BIN", "appid": "a2", "interval": 5},
      "not an object",
      {"exe": "g.bin", "appid": "g", "interval": 60}
  ]})");
  std::vector<std::pair<std::string, int>> want = {{"a.bin", 0}, {"g.bin", 8}};
  EXPECT_EQ(want, cf.monitoredApps());
  EXPECT_EQ("g", cf.getAppConfig("G.bin").at("appid"));
  EXPECT_EQ("a", cf.getAppConfig("a.bin").at("appid"));  // the first of the duplicates stays

  std::string log = mainLog();
  EXPECT_NE(log.find("mesg.: [exe] not found"), std::string::npos);
  EXPECT_NE(log.find("mesg.: [appid] not found"), std::string::npos);
  EXPECT_EQ(3, test::countOf(log, "mesg.: invalid [interval]"));
  EXPECT_NE(log.find("mesg.: Duplicate exe in config: A.BIN"), std::string::npos);
  EXPECT_NE(log.find("An error ocurred in: Error while parsing service #6 in services array"),
            std::string::npos);
  EXPECT_NE(log.find("Monitoring: a.bin=0,g.bin=8"), std::string::npos);

  try {
    cf.getAppConfig("b.bin");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ("Application [b.bin] not found under this kSU.", e.what());
  }
}

TEST_F(ConfigTest, ReadsByteOrderMarksAndLogsTheFileAndItsCompactForm) {
  TUpdaterConfig cf =
      load("\xEF\xBB\xBF{\"name\": \"kSU\", \"descr\": \"Caf\xC3\xA9 / x\", \"services\": []}");
  EXPECT_EQ("kSU", cf.name());
  EXPECT_TRUE(cf.monitoredApps().empty());
  std::string log = mainLog();
  EXPECT_NE(log.find(R"({"descr":"Caf\u00e9 \/ x","name":"kSU","services":[]})"), std::string::npos);
  EXPECT_NE(log.find("Monitoring: \r\n"), std::string::npos);

  std::string utf16 = "\xFF\xFE";
  for (char c : std::string(R"({"name":"n16","descr":"d","services":[]})")) utf16 += std::string{c, '\0'};
  test::writeFile(dir / "c16", utf16);
  EXPECT_EQ("n16", TUpdaterConfig::load(dir / "c16").name());
}

TEST_F(ConfigTest, LongValuesAreCutInTheLog) {
  std::string descr = std::string(1000, 'd') + "\\\"" + std::string(2 << 20, 'x');
  TUpdaterConfig cf = load(R"({"name": "kSU", "descr": ")" + descr + R"(", "services": [
      {"exe": "a", "appid": ")" +
                           std::string(5000, 'i') + R"(", "interval": 1}]})");
  EXPECT_EQ(descr.size() - 1, configText(cf.CF(), "descr").size());  // kept whole
  std::string log = mainLog();
  EXPECT_LT(log.size(), 80000u);
  EXPECT_NE(log.find(" bytes in all)"), std::string::npos);
  EXPECT_NE(log.find(R"("descr":")" + std::string(1000, 'd') + R"(...","name":"kSU")"), std::string::npos);
  EXPECT_NE(log.find(R"("appid":")" + std::string(1000, 'i') + R"(...","exe":"a")"), std::string::npos);
}

TEST_F(ConfigTest, MonitoringLineQuotesAwkwardNames) {
  TUpdaterConfig cf = load(R"({"name": "u", "descr": "d", "services": [
      {"exe": "my app", "appid": "a", "interval": 1}, {"exe": "b\"c", "appid": "b", "interval": 1}]})");
  EXPECT_EQ(R"("my app=0","b""c=1")", cf.monitoredAppsText());
}

TEST(ConfigPathTest, IsTheExecutablePathWithConfigAppended) {
  setExeOverride("/opt/kn/", "svcupdater");
  EXPECT_EQ("/opt/kn/svcupdaterconfig", configPath());
  setExeOverride("", "");
}

}  // namespace
}  // namespace kn
