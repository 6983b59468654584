// https endpoints against a real TLS server with a certificate made for the test.
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdio>

#include "ext.channel.h"
#include "ext_fixture.h"

namespace kn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class Tls : public test::TempRoot {
 protected:
  void SetUp() override {
    TempRoot::SetUp();
    test::makeSelfSignedCert(root_);
    cert_ = path("cert.pem");
  }
  // A TLS server on loopback speaking the versions from `minVersion` to `maxVersion` (0: no limit).
  std::unique_ptr<test::TestServer> server(int minVersion = 0, int maxVersion = 0) {
    auto tls = std::make_unique<httplib::SSLServer>(cert_.c_str(), path("key.pem").c_str());
    SSL_CTX* ctx = tls->ssl_context();
    if (minVersion) SSL_CTX_set_min_proto_version(ctx, minVersion);
    if (maxVersion) SSL_CTX_set_max_proto_version(ctx, maxVersion);
    if (minVersion && minVersion < TLS1_2_VERSION) {
      SSL_CTX_set_security_level(ctx, 0);  // an old platform's server: SHA-1 signatures
      SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    }
    return std::make_unique<test::TestServer>(std::move(tls));
  }
  std::string outcome(TExtChannel& ch) {
    try {
      return ch.invoke("ITAgent", "m", json::array()).get<std::string>();
    } catch (const EExtCommunicationError& e) {
      return "refused";
    }
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
  // A scheme in capitals is still https: the call is encrypted and verified, never sent in clear.
  TExtChannel upper(srv->url("HTTPS"));
  upper.setCAFile(cert_);
  EXPECT_EQ(upper.invoke("ITAgent", "m", json::array()), "ok");
  EXPECT_EQ(srv->seen().size(), 3u);
}

TEST_F(Tls, VersionsSpokenByDefaultAndForAnOldPlatform) {
  auto tls13 = server(TLS1_3_VERSION);
  TExtChannel current(tls13->url("https"));
  current.setCAFile(cert_);
  EXPECT_EQ(outcome(current), "ok") << "a server that speaks only TLS 1.3";

  auto tls11 = server(TLS1_1_VERSION, TLS1_1_VERSION);
  TExtChannel byDefault(tls11->url("https"));
  byDefault.setCAFile(cert_);
  EXPECT_EQ(outcome(byDefault), "refused") << "TLS 1.1 only";
  EXPECT_EQ(tls11->seen().size(), 0u);

  TExtChannel::setGlobalTlsMin("1.0");  // "tls_min=1.0" in endpoint.ini
  TExtChannel old(tls11->url("https"));
  TExtChannel::setGlobalTlsMin("");
  old.setCAFile(cert_);
  EXPECT_EQ(outcome(old), "ok");
  EXPECT_EQ(outcome(*old.createClone()), "ok") << "the clone keeps the version";
  EXPECT_THROW(old.setTlsMin("SSLv3"), Exception);
}

// The system's store stands in as a hashed CA folder holding the server's certificate, as
// /etc/ssl/certs would.
TEST_F(Tls, CAFileIsTheOnlyAuthorityTrusted) {
  fs::create_directories(path("system"));
  {
    FILE* f = std::fopen(cert_.c_str(), "r");
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
    X509_free(cert);
    fs::copy_file(cert_, path("system/") + name);
  }
  fs::create_directories(path("other"));
  test::makeSelfSignedCert(path("other"));
  auto previous = TExtChannel::setSystemTrustForTests("", path("system"));
  auto srv = server();

  TExtChannel system(srv->url("https"));
  EXPECT_EQ(outcome(system), "ok") << "signed by an authority of the system's store";
  TExtChannel other(srv->url("https"));
  other.setCAFile(path("other/cert.pem"));
  EXPECT_EQ(outcome(other), "refused") << "the named bundle alone is trusted";
  EXPECT_EQ(srv->seen().size(), 1u);
  TExtChannel::setSystemTrustForTests(previous.first, previous.second);
}

}  // namespace
}  // namespace kn
