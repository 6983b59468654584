// Downloads over Windows' own TLS (Schannel) from a real TLS server on loopback: a certificate of
// an authority the machine trusts is accepted, any other is refused.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <thread>

#include "knHttpGet.h"
#include "KNWinTestSupport.h"
#include "UpdaterTestSupport.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

// An authority and a certificate for "localhost" signed by it, and the reference server (a
// program of the host) serving a package over TLS with that certificate.
class SchannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::hostShell("test -x " KN_REFERENCE_SERVER) != 0)
      GTEST_SKIP() << "no reference server at " KN_REFERENCE_SERVER ": build the Linux build's kn-platformserver";
    const std::string d = test::hostPath(dir.path());
    test::run("cd " + d +
              " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem"
              " -days 2 -subj /CN=kn-test-authority"
              " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr"
              " -subj /CN=localhost"
              " && printf 'subjectAltName=DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext.cnf"
              " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
              " -extfile ext.cnf -out server.pem"
              " && mkdir packages && echo 'package bytes' > packages/app1.pkg && echo 1.0 > packages/app1.version");
    // In the background; its process id stays behind for TearDown.
    ASSERT_EQ(0, test::hostShell("cd " + d + " && (" + KN_REFERENCE_SERVER 
                                 " --port 0 --data p.db --packages packages --tls-cert server.pem --tls-key server.key"
                                 " >server.log 2>&1 & echo $! >server.pid)"));
    const std::string prefix = "listening on https://127.0.0.1:";
    std::string log;
    for (int i = 0; i < 500 && (log = test::readFile(dir / "server.log")).find(prefix) == std::string::npos; ++i)
      std::this_thread::sleep_for(10ms);
    size_t at = log.find(prefix);
    ASSERT_NE(std::string::npos, at) << log;
    url = "https://localhost:" + std::to_string(std::atoi(log.c_str() + at + prefix.size())) + "/app1.pkg";
  }
  void TearDown() override {
    // The server is ended, and waited for, before its folder goes: a server still shutting down
    // keeps writing its data files there while the folder is being removed.
    if (test::fs::exists(dir / "server.pid"))
      test::hostShell("pid=$(cat " + test::hostPath(dir / "server.pid") +
                      "); kill $pid; for i in $(seq 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done");
  }
  test::TempFolder dir;
  std::string url;
};

// Wine's Schannel completes the handshake without checking the server's certificate chain, which
// Windows' own does as part of it.
TEST_F(SchannelTest, AServerOfAnAuthorityTheMachineDoesNotTrustIsRefusedOnlyOnRealWindows) {
  if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
    GTEST_SKIP() << "Wine's Schannel does not check the server's certificate chain";
  try {
    httpGetSmall(url, 1024);
    ADD_FAILURE() << "downloaded from an untrusted server";
  } catch (const EHttpError& e) {
    EXPECT_NE(std::string(e.what()).find(url), std::string::npos) << e.what();
  }
}

TEST_F(SchannelTest, AServerOfATrustedAuthorityIsDownloadedFromOverTls) {
  test::TrustedAuthority trusted(test::readFile(dir / "ca.pem"));
  ASSERT_TRUE(trusted.added());
  EXPECT_EQ("package bytes\n", httpGetSmall(url, 1024));
  std::string saved = dir / "saved.pkg";
  httpGetToFile(url, saved, 1024);
  EXPECT_EQ("package bytes\n", test::readFile(saved));
}

}  // namespace
}  // namespace kn
