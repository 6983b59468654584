// https endpoints over Windows' own TLS (Schannel), against a stand-in platform that runs natively
// on the host (tls_platform.py, Python's TLS) with a certificate of an authority made for the test:
// verified against "cafile" and against the machine's store, an unknown authority refused, and the
// versions spoken by default and with "tls_min".
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "KNHostShell.h"
#include "KNTestTempDir.h"
#include "KNWinTestSupport.h"
#include "KNWinText.h"
#include "ext.channel.h"
#include "knLOG2.h"

namespace kn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

// The stand-in's source, beside this file, as the host names it.
const std::string kServerScript = std::string(KN_EXT_TESTS_DIR) + "/tls_platform.py";

class TlsWin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::hostShell("command -v openssl && command -v python3") != 0)
      GTEST_SKIP() << "the host has no openssl or python3 to run the TLS server with";
    initLogAt(dir.path() + "/", "auditagent");
    // The test's authority signs the server's certificate for "localhost"; another authority
    // signs nothing this server shows.
    const std::string d = test::hostPath(dir.path());
    ASSERT_EQ(0, test::hostShell(
                     "cd '" + d +
                     "' && for ca in ca other; do openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256"
                     " -nodes -keyout $ca.key -out $ca.pem -days 2 -subj /CN=kn-test-$ca || exit 1; done"
                     " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key"
                     " -out server.csr -subj /CN=localhost"
                     " && printf 'subjectAltName=DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext.cnf"
                     " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
                     " -extfile ext.cnf -out server.pem"));
  }
  void TearDown() override {
    // Each server is ended, and waited for, before its folder goes.
    for (const std::string& pid : pids)
      test::hostShell("kill " + pid + "; for i in $(seq 200); do kill -0 " + pid +
                      " 2>/dev/null || break; sleep 0.05; done");
    resetLog();
  }

  // A server speaking TLS `min` to `max`; its https URL with the host name "localhost".
  std::string server(const std::string& min = "1.2", const std::string& max = "1.3") {
    const std::string name = "server" + std::to_string(pids.size());
    const std::string d = test::hostPath(dir.path());
    if (test::hostShell("cd '" + d + "' && (python3 '" + kServerScript +
                        "' --cert server.pem --key server.key --seen " + name + ".seen --min " + min +
                        " --max " + max + " >" + name + ".log 2>&1 & echo $! >" + name + ".pid)") != 0)
      return "";
    pids.push_back(std::to_string(std::atoi(test::readBytes(dir / (name + ".pid")).c_str())));
    const std::string prefix = "listening on https://127.0.0.1:";
    std::string log;
    for (int i = 0; i < 1000 && (log = test::readBytes(dir / (name + ".log"))).find(prefix) == std::string::npos;
         ++i)
      std::this_thread::sleep_for(10ms);
    size_t at = log.find(prefix);
    if (at == std::string::npos) return "";
    seenFiles.push_back(dir / (name + ".seen"));
    return "https://localhost:" + std::to_string(std::atoi(log.c_str() + at + prefix.size()));
  }
  // The requests the last server (or the one numbered `n`) has answered.
  size_t seen(size_t n) {
    std::string text = test::readBytes(seenFiles.at(n));
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  // "ok", or "refused" when the exchange failed (its message then in `why`).
  std::string outcome(TExtChannel& ch) {
    try {
      return ch.invoke("ITAgent", "m", json::array()).get<std::string>();
    } catch (const EExtCommunicationError& e) {
      why = e.what();
      return "refused";
    }
  }

  test::TempDir dir;
  std::vector<std::string> pids;
  std::vector<std::string> seenFiles;
  std::string why;
};

TEST_F(TlsWin, TheCAFileIsTheAuthorityTrusted) {
  std::string url = server();
  ASSERT_FALSE(url.empty());
  // The bundle in a folder whose name is outside ASCII: "cafile" is a UTF-8 path.
  const std::string folder = dir / "Zertifikat-Gr\xC3\xB6\xC3\x9F" "e";
  fs::create_directories(fs::path(win::widePath(folder)));
  const std::string caFile = folder + "/ca.pem";
  fs::copy_file(fs::path(win::widePath(dir / "ca.pem")), fs::path(win::widePath(caFile)));

  TExtChannel::setGlobalCAFile(caFile);  // "cafile" in endpoint.ini
  TExtChannel trusted(url);
  TExtChannel::setGlobalCAFile("");
  EXPECT_EQ(outcome(trusted), "ok") << why;
  EXPECT_EQ(outcome(*trusted.createClone()), "ok") << "the clone keeps the CA file";
  // A scheme in capitals is still https: encrypted and verified, never sent in clear.
  TExtChannel upper("HTTPS" + url.substr(5));
  upper.setCAFile(caFile);
  EXPECT_EQ(outcome(upper), "ok");
  EXPECT_EQ(seen(0), 3u);

  // The named bundle alone is trusted: another authority's bundle refuses this server.
  TExtChannel other(url);
  other.setCAFile(dir / "other.pem");
  try {
    other.invoke("ITAgent", "m", json::array());
    ADD_FAILURE() << "a server of another authority was accepted";
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Communication error: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(seen(0), 3u);
}

TEST_F(TlsWin, TheMachinesStoreIsTrustedWithoutCAFile) {
  std::string url = server();
  ASSERT_FALSE(url.empty());
  test::TrustedAuthority trusted(test::readBytes(dir / "ca.pem"));
  ASSERT_TRUE(trusted.added());
  TExtChannel ch(url);
  EXPECT_EQ(outcome(ch), "ok") << why;
  EXPECT_EQ(seen(0), 1u);
}

// Wine's Schannel completes the handshake without checking the server's certificate chain against
// the store, which Windows' own does as part of it.
TEST_F(TlsWin, AServerOfAnAuthorityTheMachineDoesNotTrustIsRefusedOnlyOnRealWindows) {
  if (test::runningUnderWine()) GTEST_SKIP() << "Wine's Schannel does not check the server's certificate chain";
  std::string url = server();
  ASSERT_FALSE(url.empty());
  TExtChannel ch(url);
  EXPECT_EQ(outcome(ch), "refused");
  EXPECT_EQ(seen(0), 0u);
}

// Schannel speaks TLS 1.3 from Windows 11 and Server 2022 (build 20348) on; Wine's speaks none.
bool schannelSpeaksTls13() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto get = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  return !test::runningUnderWine() && get && get(&v) == 0 && v.dwBuildNumber >= 20348;
}

TEST_F(TlsWin, VersionsSpokenByDefaultAndForAnOldPlatform) {
  const std::string caFile = dir / "ca.pem";
  std::string tls12 = server("1.2", "1.2");
  ASSERT_FALSE(tls12.empty());
  TExtChannel current(tls12);
  current.setCAFile(caFile);
  EXPECT_EQ(outcome(current), "ok") << "a server that speaks only TLS 1.2: " << why;
  if (schannelSpeaksTls13()) {
    std::string tls13 = server("1.3", "1.3");
    ASSERT_FALSE(tls13.empty());
    TExtChannel newest(tls13);
    newest.setCAFile(caFile);
    EXPECT_EQ(outcome(newest), "ok") << "a server that speaks only TLS 1.3: " << why;
  }

  std::string tls11 = server("1.1", "1.1");
  ASSERT_FALSE(tls11.empty());
  TExtChannel byDefault(tls11);
  byDefault.setCAFile(caFile);
  EXPECT_EQ(outcome(byDefault), "refused") << "TLS 1.1 only";
  const size_t old11 = seenFiles.size() - 1;
  EXPECT_EQ(seen(old11), 0u);

  TExtChannel::setGlobalTlsMin("1.0");  // "tls_min=1.0" in endpoint.ini
  TExtChannel old(tls11);
  TExtChannel::setGlobalTlsMin("");
  old.setCAFile(caFile);
  EXPECT_EQ(outcome(old), "ok") << why;
  EXPECT_EQ(outcome(*old.createClone()), "ok") << "the clone keeps the version";
  EXPECT_EQ(seen(old11), 2u);
}

}  // namespace
}  // namespace kn
