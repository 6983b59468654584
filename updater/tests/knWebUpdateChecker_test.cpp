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
      // Blanks and byte-order marks around a version are no part of it.
      {"blocked=0\nversion=0.0.0.0 ", "UPDATED", "0.0.0.0"},
      {"version=\t\xEF\xBB\xBF"
       "0.0.0.0\xEF\xBB\xBF \r\n",
       "UPDATED", "0.0.0.0"},
      {"\xEF\xBB\xBF"
       "version=0.0.0.0",
       "UPDATED", "0.0.0.0"},
      {"version= 1.0 2 ", "UPDATEREQUIRED", "1.0 2"},
      {"version=  \xEF\xBB\xBF ", "UNKNOWN", ""},
      {"blocked= 1 \nversion=9.9", "BLOCKED", ""},
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
  // "&", "#", "%" and "=" must neither end the query, start a fragment nor add a parameter.
  const std::string owner = "AT&T R&D #1 (50%), x=1 Zo\xC3\xAB";
  check("", owner);
  ASSERT_EQ(1u, server.params().size());
  const httplib::Params p = server.params()[0];
  std::vector<std::string> keys;
  for (const auto& [k, v] : p) keys.push_back(k);
  // "own" and "company" are empty on a machine without them, so they are left out altogether.
  std::vector<std::string> want = {"appver", "ck", "cname", "exe", "hds", "id", "sys", "un"};
  if (computerName().empty()) std::erase(want, "cname");
  if (volumeSerialNumber('C').empty()) std::erase(want, "hds");
  EXPECT_EQ(want, keys);
  auto value = [&](const char* key) { return p.count(key) ? p.find(key)->second : "(missing)"; };
  EXPECT_EQ("AT&T-R&D-#1-50%-x=1-Zo\xC3\xAB", value("un"));
  EXPECT_EQ("app.bin", value("exe"));
  EXPECT_EQ("app1", value("id"));
  EXPECT_EQ("0.0.0.0", value("appver"));
  std::string q = server.queries()[0];
  EXPECT_NE(q.find("&un=AT%26T-R%26D-%231-50%25-x%3D1-Zo%C3%AB&"), std::string::npos) << q;
  EXPECT_NE(q.find("&exe=app.bin&id=app1&appver=0.0.0.0"), std::string::npos) << q;
}

TEST(QueryValueTest, EncodesEverythingOutsideTheUnreservedSet) {
  const std::pair<std::string, std::string> cases[] = {
      {"Debian GNU/Linux 12 (Version 6.1, Build 0, 64-bit Edition)",
       "Debian-GNU%2FLinux-12-Version-6.1-Build-0-64-bit-Edition"},
      {"a~b_c.d-e", "a~b_c.d-e"},
      {"?&=#%+;/\\", "%3F%26%3D%23%25%2B%3B%2F%5C"},
      {std::string("nul\0\r\n", 6), "nul%00%0D%0A"},
      {"\xFF\x80", "%FF%80"},
      {"(),", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(out, queryValue(in)) << in;
}

TEST_F(CheckerTest, AnAnswerBeyondItsBoundIsNoAnswer) {
  // Within the bound the version line at its end is read; one byte more and the answer is dropped.
  std::string tail = "version=1.0.0.4";
  std::string fits = std::string(kMaxAnswerBytes - tail.size() - 1, 'x') + "\n" + tail;
  EXPECT_EQ("UPDATEREQUIRED", check(fits).resultvalue());
  TKNWebUpdateChecker over = check("x" + fits);
  EXPECT_EQ("UNKNOWN", over.resultvalue());
  EXPECT_EQ("", over.newversion());
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
