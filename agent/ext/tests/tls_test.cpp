// https endpoints against a real TLS server with a certificate made for the test.
#include <openssl/ssl.h>

#include "ext.channel.h"
#include "ext_fixture.h"

namespace kn {
namespace {

using nlohmann::json;

class Tls : public test::TempRoot {
 protected:
  void SetUp() override {
    TempRoot::SetUp();
    test::makeSelfSignedCert(root_);
    cert_ = path("cert.pem");
  }
  std::unique_ptr<test::TestServer> server(int minVersion = 0) {
    auto tls = std::make_unique<httplib::SSLServer>(cert_.c_str(), path("key.pem").c_str());
    if (minVersion) SSL_CTX_set_min_proto_version(tls->ssl_context(), minVersion);
    return std::make_unique<test::TestServer>(std::move(tls));
  }
  std::string cert_;
};

TEST_F(Tls, SelfSignedServerNeedsTheCAFile) {
  auto srv = server();
  TExtChannel untrusted(srv->url("https"));
  try {
    untrusted.invoke("ITAgent", "m", json::array());
    FAIL() << "an unknown authority was accepted";
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Communication error: ", 0), 0u);
  }

  TExtChannel::setGlobalCAFile(cert_);
  TExtChannel trusted(srv->url("https"));
  TExtChannel::setGlobalCAFile("");
  EXPECT_EQ(trusted.invoke("ITAgent", "m", json::array()), "ok");
  EXPECT_EQ(trusted.createClone()->invoke("ITAgent", "m", json::array()), "ok")
      << "the clone keeps the CA file";
  EXPECT_EQ(srv->seen().size(), 2u);
}

TEST_F(Tls, ServerSpeakingOnlyTls13IsRefused) {
  auto srv = server(TLS1_3_VERSION);
  TExtChannel ch(srv->url("https"));
  ch.setCAFile(cert_);
  EXPECT_THROW(ch.invoke("ITAgent", "m", json::array()), EExtCommunicationError);
  EXPECT_EQ(srv->seen().size(), 0u);
}

}  // namespace
}  // namespace kn
