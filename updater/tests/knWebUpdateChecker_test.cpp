#include "knWebUpdateChecker.h"

#include <gtest/gtest.h>

#include "KNSysInfo.h"
#include "UpdaterTestSupport.h"

namespace kn {
namespace {

class CheckerTest : public ::testing::Test {
 protected:
  TKNWebUpdateChecker check(const std::string& answer, const std::string& customUN = "") {
    server.answer([answer](const std::string&, const std::string&) { return answer; });
    TKNWebUpdateChecker c("app.bin", "app1", true, true, customUN, dir.path());
    c.Execute();
    return c;
  }
  test::TempFolder dir;
  test::UpdateServer server;
  test::EnvScope env{{{"KN_UPDATE_URL", server.base()}, {"KN_SYSROOT", dir.path()}}};
};

TEST_F(CheckerTest, AnswersBecomeResultWords) {
  struct Case {
    const char* answer;
    const char* result;
    const char* newversion;
  } cases[] = {
      {"version=1.0.0.4\r\n", "UPDATEREQUIRED", "1.0.0.4"},
      {"version=0.0.0.0", "UPDATED", "0.0.0.0"},  // the file has no version note
      {"Version=0.0.0.1\nversion=0.0.0.0", "UPDATEREQUIRED", "0.0.0.1"},
      {"x=1\rblocked=1\rversion=9.9", "BLOCKED", ""},
      {"blocked=0\nversion=0.0.0.0 ", "UPDATEREQUIRED", "0.0.0.0 "},  // nothing trimmed
      {"version=\n", "UNKNOWN", ""},
      {"", "UNKNOWN", ""},
      {"<html>Not found</html>", "UNKNOWN", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    TKNWebUpdateChecker r = check(c.answer);
    EXPECT_EQ(c.result, r.resultvalue());
    EXPECT_EQ(c.newversion, r.newversion());
    EXPECT_EQ("0.0.0.0", r.appversion());
  }
}

TEST_F(CheckerTest, QueryCarriesCleanedValuesInOrderAndLeavesEmptyOnesOut) {
  check("", "J. Doe (admin), Zo\xC3\xAB&x=1");
  ASSERT_EQ(1u, server.queries().size());
  std::string q = server.queries()[0];
  ASSERT_EQ(0u, q.rfind("/webupdate.php3?ck=", 0)) << q;
  std::vector<std::string> keys;
  for (size_t at = q.find('&'); at != std::string::npos; at = q.find('&', at + 1))
    keys.push_back(q.substr(at + 1, q.find('=', at) - at - 1));
  // "own" and "company" are empty on a machine without them, so they are left out altogether.
  std::vector<std::string> want = {"sys", "cname", "un", "x", "hds", "exe", "id", "appver"};
  if (computerName().empty()) want.erase(want.begin() + 1);
  if (volumeSerialNumber('C').empty()) std::erase(want, "hds");
  EXPECT_EQ(want, keys) << q;
  EXPECT_NE(q.find("&un=J.-Doe-admin-Zo%C3%AB&x=1&"), std::string::npos) << q;
  EXPECT_NE(q.find("&exe=app.bin&id=app1&appver=0.0.0.0"), std::string::npos) << q;
  EXPECT_EQ(std::string::npos, q.find(' '));
}

TEST_F(CheckerTest, NoServerMeansUnknown) {
  // A port nobody listens on; a silent one would be given up after 30 ms.
  int port = 0;
  {
    httplib::Server gone;
    port = gone.bind_to_any_port("127.0.0.1");
  }
  test::EnvScope closed{
      {{"KN_UPDATE_URL", "http://127.0.0.1:" + std::to_string(port) + "/"}, {"KN_TIME_SCALE", "1000"}}};
  TKNWebUpdateChecker c("app.bin", "app1", true, true, "", dir.path());
  c.Execute();
  EXPECT_EQ("UNKNOWN", c.resultvalue());
  EXPECT_EQ("", c.newversion());
}

TEST(SystemDescriptionTest, HasTheWordingTheServerKnows) {
  EXPECT_EQ("Windows 7 Service Pack 1 (Version 6.1, Build 7601, 64-bit Edition)",
            formatSystemDescription("Windows 7", 6, 1, 7601, 1, true));
  EXPECT_EQ("Debian GNU/Linux 12 (Version 6.1, Build 0, 32-bit Edition)",
            formatSystemDescription("Debian GNU/Linux 12", 6, 1, 0, 0, false));
}

}  // namespace
}  // namespace kn
