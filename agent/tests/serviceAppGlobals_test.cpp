#include "serviceAppGlobals.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "APIKeyCipher.h"
#include "KNEnv.h"
#include "KNLib.h"
#include "KNSysInfo.h"
#include "KNTempSysRoot.h"
#include "agent_places.h"
#include "ext.channel.h"
#include "knAppData.h"
#include "knAppDataFolders.h"
#include "knLOG2.h"

namespace kn {
namespace {

namespace fs = std::filesystem;
using test::TempSysRoot;

// A machine of its own for each test: KN_SYSROOT, HOME and the executable's folder in a temporary
// root, the log in that folder, the identity's folder and the agent's HKLM keys empty (agent_places.h),
// and every process-wide value back to its start.
class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exeDir = root.path() + "/opt/kestrane/";
    fs::create_directories(exeDir);
    setExeOverride(exeDir, "auditagent");
    initLogAt(exeDir, "auditagent");
    resetAppGlobals();
  }
  void TearDown() override {
    TExtChannel::setGlobalInstance(nullptr);
    TExtChannel::setGlobalEndpoint("");
    TExtChannel::setGlobalCAFile("");
    releaseAppData();
    resetAppGlobals();
    resetLog();
    setExeOverride("", "");
  }

  std::string identityFile() const { return places.identityFile(); }
  std::string fallbackFile() const { return exeDir + "PCID.ini"; }
  std::string mainLog() const { return TempSysRoot::read(mainLogFile()); }
  void writeHKLM(const std::string& body) { places.writeHKLM(body); }
  static size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

  TempSysRoot root;
  test::MachinePlaces places;
  std::string exeDir;
};

TEST_F(IdentityTest, FirstStartCreatesBothCopiesPrivate) {
  std::string id = MyID();
  EXPECT_TRUE(std::regex_match(
      id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}-[0-9]{1,4}")))
      << id;
  std::string expected = "x" + computerName() + "=" + id + "\r\n";
  EXPECT_EQ(TempSysRoot::read(identityFile()), expected);
  EXPECT_EQ(TempSysRoot::read(fallbackFile()), expected);
  for (const std::string& f : {identityFile(), fallbackFile()}) EXPECT_TRUE(test::isPrivateFile(f)) << f;
  EXPECT_TRUE(test::isPrivateFolder(fs::path(identityFile()).parent_path().string()));
  EXPECT_NE(mainLog().find("New PCID set [" + id + "]"), std::string::npos);

  // A second start finds it and writes nothing.
  fs::remove(fallbackFile());
  EXPECT_EQ(MyID(), id);
  EXPECT_FALSE(fs::exists(fallbackFile()));

  // Private copies that lack this machine are replaced all the same, and stay private.
  for (const std::string& f : {identityFile(), fallbackFile()}) {
    fs::remove(f);
    TempSysRoot::write(f, "xOTHERPC=OLD-ID\r\n");
    hideFile(f);
  }
  std::string renamed = MyID();
  EXPECT_NE(renamed, id);
  for (const std::string& f : {identityFile(), fallbackFile()}) {
    EXPECT_EQ(TempSysRoot::read(f), "xOTHERPC=OLD-ID\r\nx" + computerName() + "=" + renamed + "\r\n") << f;
    EXPECT_TRUE(test::isPrivateFile(f)) << f;
  }
}

// Random bytes where the primary copy should be: what a damaged disk or a stray write leaves.
std::string damagedBytes() {
  std::string bytes;
  for (int i = 0; i < 600; ++i) bytes += static_cast<char>((i * 167 + 13) % 256);
  return bytes;
}

TEST_F(IdentityTest, IdentityFileCases) {
  const std::string me = "x" + computerName();
  struct Case {
    const char* name;
    std::string primary, fallback;         // "" = no file
    std::string expectId;                  // "" = a new one, written to both copies
    std::string expectWrittenBefore = "";  // what stands before the new line in both copies
  } cases[] = {
      {"fallback supplies it when the primary is missing", "", me + "=FROM-FALLBACK\r\n", "FROM-FALLBACK"},
      {"fallback supplies it when the primary lacks this machine", "xOTHERPC=OLD-ID\r\n",
       me + "=FROM-FALLBACK\r\n", "FROM-FALLBACK"},
      {"fallback supplies it when the primary is damaged", damagedBytes(), me + "=FROM-FALLBACK\r\n",
       "FROM-FALLBACK"},
      {"primary wins over the fallback", me + "=FROM-PRIMARY\r\n", me + "=FROM-FALLBACK\r\n", "FROM-PRIMARY"},
      {"name compared without case", "X" + computerName() + "=UPPER\r\n", "", "UPPER"},
      {"another computer's line stays, ours is appended", "xOTHERPC=OLD-ID\r\n", "", "",
       "xOTHERPC=OLD-ID\r\n"},
      {"lines only the fallback holds are kept", "xOTHERPC=OLD-ID\r\n", "xTHIRDPC=ID-3\r\n", "",
       "xOTHERPC=OLD-ID\r\nxTHIRDPC=ID-3\r\n"},
      {"a damaged primary spreads nothing", damagedBytes(), "xOTHERPC=OLD-ID\r\n", "", "xOTHERPC=OLD-ID\r\n"},
      {"control characters mark a damaged copy", "\x01\x02 garbage\r\n" + me + "=NOT-MINE\r\n", "", "", ""},
      {"an empty value counts as none", me + "=\r\n", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(identityFile());
    fs::remove(fallbackFile());
    if (!c.primary.empty()) TempSysRoot::write(identityFile(), c.primary);
    if (!c.fallback.empty()) TempSysRoot::write(fallbackFile(), c.fallback);
    std::string id = MyID();
    if (!c.expectId.empty()) {
      EXPECT_EQ(id, c.expectId);
      // Nothing is written when a copy supplies the identifier.
      EXPECT_EQ(fs::exists(identityFile()) ? TempSysRoot::read(identityFile()) : "", c.primary);
      EXPECT_EQ(fs::exists(fallbackFile()) ? TempSysRoot::read(fallbackFile()) : "", c.fallback);
      continue;
    }
    EXPECT_EQ(id.size(), 41u);
    std::string written = TempSysRoot::read(identityFile());
    EXPECT_EQ(written, TempSysRoot::read(fallbackFile()));
    EXPECT_EQ(written, c.expectWrittenBefore + me + "=" + id + "\r\n");
  }
}

TEST_F(IdentityTest, UnwritableIdentityFailsStartUp) {
  // A file where the Identity folder should be: nothing can be created there.
  places.blockIdentityFolder();
  try {
    MyID();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "MyID failed, cannot start service");
  }
  std::string log = mainLog();
  EXPECT_NE(log.find("An error ocurred in: Cannot access HKLM registry, access denied"), std::string::npos)
      << log;
}

TEST_F(IdentityTest, TwoAgentsStartingAtOnceAgreeOnOneIdentifier) {
  std::vector<std::string> ids(8);
  std::vector<std::thread> starters;
  for (auto& id : ids) starters.emplace_back([&id] { id = MyID(); });
  for (auto& t : starters) t.join();
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
  EXPECT_EQ(count(TempSysRoot::read(identityFile()), "\r\n"), 1u);
}

TEST_F(IdentityTest, EndpointFromEndpointIni) {
  struct Case {
    const char* name;
    const char* ini;  // nullptr = no file
    const char* expected;
  } cases[] = {
      {"no file", nullptr, kDefaultApiEndpoint},
      {"endpoint only", "endpoint=https://a.example\r\n", "https://a.example"},
      {"url only: load empties, init sets", "url=https://b.example\r\n", "https://b.example"},
      {"neither", "other=1\r\n", ""},
      {"both: url wins", "endpoint=https://a.example\r\nurl=https://b.example\r\n", "https://b.example"},
      {"empty url keeps endpoint", "endpoint=https://a.example\r\nurl=\r\n", "https://a.example"},
      {"byte-order mark",
       "\xEF\xBB\xBF"
       "endpoint=https://c.example\r\n",
       "https://c.example"},
      {"nothing trimmed", "endpoint= https://d.example \r\n", " https://d.example "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(exeDir + "endpoint.ini");
    if (c.ini) TempSysRoot::write(exeDir + "endpoint.ini", c.ini);
    loadAppGlobalDefaults();
    initAppGlobals("zarodirazev");
    EXPECT_EQ(apiEndpoint(), c.expected);
    TExtChannel::setGlobalInstance(nullptr);
  }
}

TEST_F(IdentityTest, TlsMinFromEndpointIniAdmitsAnOldPlatformOrFailsStartUp) {
  TempSysRoot::write(exeDir + "endpoint.ini", "endpoint=https://old.example\r\ntls_min=1.0\r\n");
  loadAppGlobalDefaults();
  EXPECT_EQ(TExtChannel::globalTlsMin(), "1.0");
  TempSysRoot::write(exeDir + "endpoint.ini", "endpoint=https://old.example\r\ntls_min=0.9\r\n");
  EXPECT_THROW(loadAppGlobalDefaults(), Exception);
  TempSysRoot::write(exeDir + "endpoint.ini", "endpoint=https://new.example\r\n");
  loadAppGlobalDefaults();
  EXPECT_EQ(TExtChannel::globalTlsMin(), "");
}

TEST_F(IdentityTest, InitInstallsTheChannelWithItsIdentificationHeader) {
  TempSysRoot::write(exeDir + "serviceApp.ini", "appid=rivavudozu\r\n");
  writeHKLM("[HKEY_LOCAL_MACHINE\\Software\\Policies\\RIVAVUDozu]\r\n\"apikey\"=\"K\xC3\xA9y\"\r\n");
  loadAppGlobalDefaults();
  initAppGlobals("");
  EXPECT_EQ(appID(), "rivavudozu");
  EXPECT_EQ(appName(), "RIVAVUDozu");
  ASSERT_NE(appData(), nullptr);
  EXPECT_EQ(appData()->appFolder, shellFolder(ShellFolder::CommonAppData) + "/Kestrane/RIVAVUDozu/");

  TExtChannel* channel = TExtChannel::getGlobalInstance();
  ASSERT_NE(channel, nullptr);
  ASSERT_EQ(channel->headers().size(), 1u);
  const std::string& entry = channel->headers()[0];
  ASSERT_EQ(entry.rfind("x-serviceapp=", 0), 0u);
  std::string value = entry.substr(13);
  for (unsigned char ch : value) EXPECT_LT(ch, 128) << value;
  auto header = nlohmann::json::parse(value);
  EXPECT_EQ(header["id"], MyID());
  EXPECT_EQ(header["svc"], "rivavudozu");
  EXPECT_EQ(header["k"], "K\xC3\xA9y");
  EXPECT_NE(value.find("\"k\":\"K\\u00e9y\""), std::string::npos) << value;
  EXPECT_EQ(header["pcn"], computerName());
  EXPECT_EQ(header["av"], "auditagent/0.0.0.0");  // the override names no real program
  EXPECT_TRUE(hasAPIKey());
}

TEST_F(IdentityTest, StartUpFailures) {
  struct Case {
    const char* name;
    const char* serviceApp;  // nullptr = no file
    const char* appid;
    const char* message;
  } cases[] = {
      {"no id, no file", nullptr, "", "serviceApp.ini not found"},
      {"file without appid", "other=x\r\n", "", "[appid] not found in serviceApp.ini"},
      {"empty appid", "appid=\r\n", "", "[appid] not found in serviceApp.ini"},
      {"unknown id", nullptr, "ZaRoDiRaZeV", "Appid [ZaRoDiRaZeV] unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(exeDir + "serviceApp.ini");
    if (c.serviceApp) TempSysRoot::write(exeDir + "serviceApp.ini", c.serviceApp);
    resetAppGlobals();
    try {
      initAppGlobals(c.appid);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST_F(IdentityTest, AppVersionText) {
  EXPECT_EQ(appVersionText("AuditAgent.EXE", "1.2.3.4"), "auditagent/1.2.3.4");
  EXPECT_EQ(appVersionText("a.exe.exe", "0.0.0.0"), "a/0.0.0.0");
  EXPECT_EQ(appVersionText("auditagent", "1.0.0.1"), "auditagent/1.0.0.1");
}

TEST(APIKeyCipher, RoundTripsAnyBytes) {
  std::string bytes;
  for (int i = 0; i < 512; ++i) {
    bytes += static_cast<char>(i * 131 + 7);
    ASSERT_EQ(decipherBytes(encipherBytes(bytes)), bytes);
  }
  EXPECT_NE(encipherBytes("secret"), "secret");
  EXPECT_EQ(decodeAPIKey(encodeStoredAPIKey("my-key")), "my-key");
}

class APIKeyTest : public IdentityTest {
 protected:
  void SetUp() override {
    IdentityTest::SetUp();
    loadAppGlobalDefaults();
  }
  std::string policy(const std::string& value) {
    return "[HKEY_LOCAL_MACHINE\\Software\\Policies\\ZARODIRazev]\r\n\"apikey\"=" + value + "\r\n\r\n";
  }
  std::string stored(const std::string& value) {
    return "[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\.ak_zarodirazev\\zarodirazev]\r\n\"value\"=" + value +
           "\r\n\r\n";
  }
};

TEST_F(APIKeyTest, Sources) {
  const std::string good = "\"" + encodeStoredAPIKey("stored-key") + "\"";
  struct Case {
    const char* name;
    std::string hive;
    std::string key;
    bool has;
    size_t exceptionBlocks;
    std::string logged;
  } cases[] = {
      {"none", "", "", false, 0, "Loaded api key: \r\n"},
      // The stored value would log an exception if it were read.
      {"policy wins", policy("\"policy-key\"") + stored("\"abcde\""), "policy-key", true, 0,
       "GPO APIKEY? [policy-key]"},
      {"empty policy counts as absent", policy("\"\"") + stored(good), "stored-key", true, 0,
       "Loaded api key: " + good.substr(1, good.size() - 2) + "\r\n"},
      {"stored empty: no key, no decoding", stored("\"\""), "", false, 0, "Loaded api key: \r\n"},
      {"stored of length 5", stored("\"abcde\""), "fail", true, 1, "Loaded api key: abcde\r\n"},
      {"stored not Base64", stored("\"ab*d\""), "fail", true, 1, "Loaded api key: ab*d\r\n"},
      {"stored deciphers to no text", stored("\"" + encodeStoredAPIKey("k\xFF\xFEy") + "\""), "fail", true, 1,
       "The deciphered API key is not text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetLog();
    fs::remove_all(exeDir + "logs");
    initLogAt(exeDir, "auditagent");
    resetAppGlobals();
    loadAppGlobalDefaults();
    writeHKLM(c.hive);
    initAppGlobals("zarodirazev");
    EXPECT_EQ(apiKey(), c.key);
    EXPECT_EQ(hasAPIKey(), c.has);
    TExtChannel* channel = TExtChannel::getGlobalInstance();
    ASSERT_NE(channel, nullptr);
    auto header = nlohmann::json::parse(channel->headers().at(0).substr(13));
    EXPECT_EQ(header["k"], c.key);
    std::string log = mainLog();
    EXPECT_EQ(count(log, "--- EXCEPTION ---"), c.exceptionBlocks) << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    if (c.exceptionBlocks) {
      EXPECT_NE(log.find("An error ocurred in: error decoding apikey"), std::string::npos);
    }
    TExtChannel::setGlobalInstance(nullptr);
  }
}

TEST_F(APIKeyTest, AKeyThatIsANumberEndsStartUp) {
  writeHKLM(policy("dword:0000002a"));
  try {
    initAppGlobals("zarodirazev");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'apikey'");
  }
}

TEST(APIKey, NeedsInitFirst) {
  resetAppGlobals();
  try {
    getAPIKey();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "initAppGlobals must be called before using getAPIKey");
  }
}

}  // namespace
}  // namespace kn
