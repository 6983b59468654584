#include "KeyTool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "KNEnv.h"
#include "KNTempSysRoot.h"
#include "ext.channel.h"
#include "knAppData.h"
#include "knLOG2.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

struct ToolRun {
  int code;
  std::string out, err;
};

ToolRun tool(std::vector<std::string> args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  int code = runKeyTool(args, in, out, err);
  return {code, out.str(), err.str()};
}

class KeyToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root.path() + "/opt");
    setExeOverride(root.path() + "/opt", "auditagent");
  }
  void TearDown() override {
    TExtChannel::setGlobalInstance(nullptr);
    releaseAppData();
    resetAppGlobals();
    setExeOverride("", "");
  }
  // What the agent finds at start-up.
  std::string agentKey() {
    resetAppGlobals();
    loadAppGlobalDefaults();
    initAppGlobals("zarodirazev");
    return apiKey();
  }
  test::TempSysRoot root;
};

TEST_F(KeyToolTest, ProvisionsAKeyTheAgentReads) {
  EXPECT_EQ(tool({"status"}).code, kKeyToolNoKey);
  ToolRun set = tool({"set", "Org-Key_123"});
  EXPECT_EQ(set.code, kKeyToolOK) << set.err;
  std::string hive = test::TempSysRoot::read(root.path() + "/sys/etc/kestrane/HKLM.reg");
  EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\.ak_zarodirazev\\zarodirazev]"),
            std::string::npos);
  EXPECT_EQ(hive.find("Org-Key_123"), std::string::npos) << "stored in the clear";
  EXPECT_EQ(tool({"status"}).code, kKeyToolOK);
  EXPECT_EQ(agentKey(), "Org-Key_123");
  EXPECT_TRUE(hasAPIKey());

  EXPECT_EQ(tool({"set", "-"}, "from-stdin\r\n").code, kKeyToolOK);
  EXPECT_EQ(agentKey(), "from-stdin");

  EXPECT_EQ(tool({"clear"}).code, kKeyToolOK);
  EXPECT_EQ(tool({"status"}).code, kKeyToolNoKey);
  EXPECT_EQ(agentKey(), "");
  EXPECT_FALSE(hasAPIKey());
}

TEST_F(KeyToolTest, RefusesWhatItCannotDo) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  } cases[] = {
      {{}, kKeyToolUsage, "usage:"},
      {{"set"}, kKeyToolUsage, "wrong number of arguments"},
      {{"set", "a", "b"}, kKeyToolUsage, "wrong number of arguments"},
      {{"set", "has space"}, kKeyToolUsage, "printable ASCII"},
      {{"set", "k\xC3\xA9y"}, kKeyToolUsage, "printable ASCII"},
      {{"set", "-"}, kKeyToolUsage, "no key on standard input"},
      {{"--app", "other", "status"}, kKeyToolUsage, "unknown application id 'other'"},
      {{"--app"}, kKeyToolUsage, "--app needs"},
      {{"rotate"}, kKeyToolUsage, "unknown command 'rotate'"},
  };
  for (const Case& c : cases) {
    ToolRun r = tool(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(tool({"--help"}).code, kKeyToolOK);

  // A hive that cannot be written: a clear failure, not a usage error.
  test::TempSysRoot::write(root.path() + "/sys/etc/kestrane", "a file where the folder should be");
  ToolRun r = tool({"set", "key"});
  EXPECT_EQ(r.code, kKeyToolFailed);
  EXPECT_NE(r.err.find("kn-apikey: "), std::string::npos);
}

TEST_F(KeyToolTest, KeysOfOtherApplicationsStayApart) {
  EXPECT_EQ(tool({"--app", "rivavudozu", "set", "other-key"}).code, kKeyToolOK);
  EXPECT_EQ(tool({"status"}).code, kKeyToolNoKey);
  EXPECT_EQ(tool({"--app", "rivavudozu", "status"}).code, kKeyToolOK);
}

}  // namespace
}  // namespace kn
