// The updater's check and package download over real HTTP, answered from the package folder.
#include "PlatformUpdates.h"
#include "TestServer.h"

namespace kn::platform::test {
namespace {

class UpdateTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    dir.write("packages/app1.version", "1.0.0.4\r\n");
    dir.write("packages/app2.version", "2.0\n");
    dir.write("packages/app2.blocked", "");
    dir.write("packages/app1.pkg", package);
    dir.write("packages/app1.pkg.sig", std::string(64, '\xA5'));
  }
  // Binary content, a NUL and bytes above 127 included, larger than one read chunk.
  const std::string package = std::string("PK\x03\x04\0\xff", 6) + std::string(200000, '\x80') + "end";
};

TEST_F(UpdateTest, TheCheckAnswersFromTheFolder) {
  struct Case {
    std::string target;
    int status;
    std::string body;
  };
  const Case cases[] = {
      // As the updater sends it: nothing percent-encoded, dashes for spaces.
      {"/webupdate.php3?ck=123&sys=Debian-GNU/"
       "Linux-12-Version-6.1&cname=PC01&un=root&hds=1A2B3C4D&exe=app1&id=app1"
       "&appver=1.0.0.3",
       200, "version=1.0.0.4\r\n"},
      {"/updates/webupdate.php3?ck=1&id=app1&appver=1.0.0.4", 200, "version=1.0.0.4\r\n"},
      {"/webupdate.php3?ck=1&id=app2&appver=1.0", 200, "blocked=1\r\nversion=2.0\r\n"},
      {"/webupdate.php3?ck=1&id=nosuchapp", 404, "unknown application\r\n"},
      {"/webupdate.php3?ck=1", 400, "invalid application id\r\n"},
      {"/webupdate.php3?ck=1&id=../packages/app1", 400, "invalid application id\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    auto res = client->Get(c.target);
    ASSERT_TRUE(res);
    EXPECT_EQ(c.status, res->status);
    EXPECT_EQ(c.body, res->body);
  }
  auto calls = server->store().calls("PC01", "webupdate.php3", 10);
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ("update", calls[0].api);
  EXPECT_NE(std::string::npos, calls[0].args.find(R"("appver":"1.0.0.3")"));
}

TEST_F(UpdateTest, PackagesAreServedWholeAndUnknownOnesAreNot) {
  for (const char* target : {"/app1.pkg", "/updates/app1.pkg"}) {
    auto res = client->Get(target);
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    EXPECT_EQ("application/octet-stream", res->get_header_value("Content-Type"));
    EXPECT_TRUE(res->body == package) << target << ": " << res->body.size() << " bytes";
  }
  auto sig = client->Get("/updates/app1.pkg.sig");
  ASSERT_TRUE(sig);
  EXPECT_EQ(200, sig->status);
  EXPECT_EQ(std::string(64, '\xA5'), sig->body);
  for (const char* target :
       {"/app2.pkg", "/..%2Fplatform.db.pkg", "/.hidden.pkg", "/app2.pkg.sig", "/.x.pkg.sig"}) {
    auto res = client->Get(target);
    ASSERT_TRUE(res);
    EXPECT_EQ(404, res->status) << target;
  }
}

TEST(UpdateIds, OnlyPlainFileNamesAreSafe) {
  for (const char* ok : {"app1", "svc.updater_2-x", "A"}) EXPECT_TRUE(isSafeAppId(ok)) << ok;
  for (const char* bad : {"", ".", "..", ".app", "a/b", "a\\b", "a b", "a%2f", "\xC3\xA9"})
    EXPECT_FALSE(isSafeAppId(bad)) << bad;
  EXPECT_FALSE(isSafeAppId(std::string(101, 'a')));
}

}  // namespace
}  // namespace kn::platform::test
