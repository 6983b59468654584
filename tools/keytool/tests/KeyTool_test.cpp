#include "KeyTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "APIKeyCipher.h"
#include "KNEnv.h"
#include "KNRegistry.h"
#include "KNTempSysRoot.h"
#include "agent_places.h"
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
  test::MachinePlaces places;
};

TEST_F(KeyToolTest, ProvisionsAKeyTheAgentReads) {
  EXPECT_EQ(tool({"status"}).code, kKeyToolNoKey);
  ToolRun set = tool({"set"}, "Org-Key_123\n");
  EXPECT_EQ(set.code, kKeyToolOK) << set.err;
  EXPECT_EQ(set.err, "");
  auto stored = registry()->readString(HKEY_LOCAL_MACHINE, "Software\\Kestrane\\.ak_zarodirazev\\zarodirazev",
                                       "value");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->find("Org-Key_123"), std::string::npos) << "stored in the clear";
  EXPECT_EQ(tool({"status"}).code, kKeyToolOK);
  EXPECT_EQ(agentKey(), "Org-Key_123");
  EXPECT_TRUE(hasAPIKey());

  EXPECT_EQ(tool({"set", "-"}, "from-stdin\r\n").code, kKeyToolOK);
  EXPECT_EQ(agentKey(), "from-stdin");

  // The other ways in: a file's first line, and the command line, which works but warns.
  test::TempSysRoot::write(root.path() + "/key.txt", "from-file\nsecond line\n");
  set = tool({"set", "--file", root.path() + "/key.txt"});
  EXPECT_EQ(set.code, kKeyToolOK) << set.err;
  EXPECT_EQ(set.err, "");
  EXPECT_EQ(agentKey(), "from-file");
  set = tool({"set", "on-the-command-line"});
  EXPECT_EQ(set.code, kKeyToolOK) << set.err;
  EXPECT_NE(set.err.find("kn-apikey: warning: a key on the command line can be seen by other users"),
            std::string::npos)
      << set.err;
  EXPECT_EQ(agentKey(), "on-the-command-line");

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
      {{"set"}, kKeyToolUsage, "no key on standard input"},
      {{"set", "a", "b"}, kKeyToolUsage, "wrong number of arguments"},
      {{"set", "--file"}, kKeyToolUsage, "wrong number of arguments"},
      {{"set", "--file", "a", "b"}, kKeyToolUsage, "wrong number of arguments"},
      {{"status", "--file", "a"}, kKeyToolUsage, "wrong number of arguments"},
      {{"set", "has space"}, kKeyToolUsage, "printable ASCII"},
      {{"set", "k\xC3\xA9y"}, kKeyToolUsage, "printable ASCII"},
      {{"set", "-"}, kKeyToolUsage, "no key on standard input"},
      {{"--app", "other", "status"}, kKeyToolUsage, "unknown application id 'other'"},
      {{"--app"}, kKeyToolUsage, "--app needs"},
      {{"rotate"}, kKeyToolUsage, "unknown command 'rotate'"},
      {{"rotate", "x"}, kKeyToolUsage, "unknown command 'rotate'"},
  };
  for (const Case& c : cases) {
    ToolRun r = tool(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  // Input is read up to a bound, never whole: an endless line is refused, not waited for.
  struct Endless : std::streambuf {
    Endless() { std::fill(std::begin(buf), std::end(buf), 'k'); }
    int_type underflow() override {
      setg(buf, buf, buf + sizeof buf);
      return 'k';
    }
    char buf[4096];
  } endless;
  std::istream in(&endless);
  std::ostringstream out, err;
  EXPECT_EQ(runKeyTool({"set"}, in, out, err), kKeyToolUsage);
  EXPECT_NE(err.str().find("printable ASCII"), std::string::npos) << err.str();
  // A key file that is missing or no regular file: a failure, and nothing is stored.
  for (const std::string& path : {root.path() + "/missing.txt", root.path()}) {
    ToolRun r = tool({"set", "--file", path});
    EXPECT_EQ(r.code, kKeyToolFailed) << path;
    EXPECT_NE(r.err.find("Cannot read file"), std::string::npos) << r.err;
  }
  EXPECT_EQ(tool({"status"}).code, kKeyToolNoKey);
  EXPECT_EQ(tool({"--help"}).code, kKeyToolOK);
}

// A value the agent would turn into "fail" is no usable key: status says so and fails.
TEST_F(KeyToolTest, StatusRefusesAStoredValueTheAgentCannotRead) {
  for (const std::string& stored : {std::string("abcde"), encodeStoredAPIKey("k\xFFy")}) {
    SCOPED_TRACE(stored);
    places.writeHKLM("[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\.ak_zarodirazev\\zarodirazev]\r\n"
                     "\"value\"=\"" +
                     stored + "\"\r\n");
    ToolRun r = tool({"status"});
    EXPECT_EQ(r.code, kKeyToolFailed);
    EXPECT_NE(r.err.find("cannot be deciphered"), std::string::npos) << r.err;
  }
}

TEST_F(KeyToolTest, KeysOfOtherApplicationsStayApart) {
  EXPECT_EQ(tool({"--app", "rivavudozu", "set", "other-key"}).code, kKeyToolOK);
  EXPECT_EQ(tool({"status"}).code, kKeyToolNoKey);
  EXPECT_EQ(tool({"--app", "rivavudozu", "status"}).code, kKeyToolOK);
}

}  // namespace
}  // namespace kn
