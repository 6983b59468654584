#include "WUServiceUpdater.h"

#include <gtest/gtest.h>

#include <optional>

#include "KNOsFaulty.h"
#include "KNServiceControlFake.h"
#include "PackageSignature.h"
#include "UpdaterTestSupport.h"

namespace kn {
namespace {

using test::modeOf;
using test::readFile;
using test::writeFile;
using test::ZipEntry;

class UnpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir / "app", "old app", 0750);
    writeFile(dir / "app.conf", "old conf", 0640);
  }
  std::string zip(const std::vector<ZipEntry>& entries, const std::string& password = kPackagePassword) {
    test::makeZip(dir / "p.zip", entries, password);
    return dir / "p.zip";
  }
  void expectOldFilesWhole() {
    EXPECT_EQ("old app", readFile(dir / "app"));
    EXPECT_EQ("old conf", readFile(dir / "app.conf"));
    EXPECT_FALSE(test::fs::exists(dir / "new.txt"));
    for (const auto& e : test::fs::directory_iterator(dir.path()))  // no temporary file is left behind
      EXPECT_NE('.', e.path().filename().string()[0]) << e.path();
  }
  test::TempFolder dir;
};

TEST_F(UnpackTest, EncryptedAndPlainPackagesLandFlat) {
  for (std::string password : {std::string(kPackagePassword), std::string()}) {
    SCOPED_TRACE(password.empty() ? "plain" : "encrypted");
    std::vector<ZipEntry> entries = {{"bin/", ""},
                                     {"bin/app", "new app " + password, 0755},
                                     {"etc/app.conf", "new conf"},
                                     {"docs/new.txt", "new file", 0600},
                                     {"../../escape", "x"},
                                     {"..\\..\\back", "y"}};
    unpackPackage(zip(entries, password), dir.path(), kPackagePassword);
    EXPECT_EQ("new app " + password, readFile(dir / "app"));
    EXPECT_EQ("new conf", readFile(dir / "app.conf"));
    EXPECT_EQ("new file", readFile(dir / "new.txt"));
    EXPECT_EQ("x", readFile(dir / "escape"));  // inside the folder, not two levels up
    EXPECT_EQ("y", readFile(dir / "back"));
    EXPECT_FALSE(test::fs::exists(dir / "bin"));
  }
}

TEST_F(UnpackTest, DotNamesAreSkipped) {
  unpackPackage(zip({{"a/..", "x"}, {"a/.", "y"}, {"ok", "z"}}), dir.path(), kPackagePassword);
  EXPECT_EQ("z", readFile(dir / "ok"));
  EXPECT_TRUE(test::fs::is_directory(dir.path()));
}

TEST_F(UnpackTest, AFailingPackageReplacesNothing) {
  std::vector<ZipEntry> entries = {
      {"app", "new app"}, {"app.conf", "new conf"}, {"new.txt", "third entry data"}};
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"not a zip", "<html>503</html>"},
      {"wrong password", test::zipBytes(entries, "9999")},
      {"third entry corrupt", test::corruptEntry(test::zipBytes(entries, ""), "new.txt", "third entry data")},
      {"truncated", test::zipBytes(entries, kPackagePassword).substr(0, 60)},
      {"no file in it", test::zipBytes({{"app/", ""}}, "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir / "p.zip", c.bytes);
    EXPECT_THROW(unpackPackage(dir / "p.zip", dir.path(), kPackagePassword), EZipError);
    expectOldFilesWhole();
  }
}

class ServiceUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir / "app", "old app", 0755);
    server.package("app1", test::zipBytes({{"sub/app", "new app"}}, kPackagePassword));
  }
  std::string log() { return dir.appLog("app"); }
  test::TempFolder dir;
  test::UpdateServer server;
  test::EnvScope env{{{"KN_UPDATE_URL", server.base()}}};
  test::FastTicks ticks;
  FakeServiceControl services;
  ScopedServiceControl useServices{services};
};

TEST_F(ServiceUpdateTest, DownloadsStopsInstallsStartsAndLogsEachStep) {
  services.addService("appsvc", {.state = kServiceRunning});
  TWUServiceUpdater(std::string("app"), "app1", "appsvc", dir.path()).Execute();
  EXPECT_EQ("new app", readFile(dir / "app"));
  EXPECT_FALSE(test::fs::exists(dir / "app1.zip"));
  EXPECT_EQ(kServiceRunning, services.state("appsvc"));
  std::vector<std::string> calls = {"stop appsvc", "query appsvc", "start appsvc", "query appsvc"};
  EXPECT_EQ(calls, services.calls());
  EXPECT_NE(log().find("UPD: Downloading app1.pkg...\r\n" + std::string(test::kSmoothUpdateLines)),
            std::string::npos)
      << log();
}

TEST_F(ServiceUpdateTest, AFailedDownloadTouchesNoServiceAndTheNextOneStartsAfresh) {
  services.addService("appsvc", {.state = kServiceRunning});
  server.package("moved", "<html>see elsewhere</html>", 302);  // redirects are not followed
  for (const char* appid : {"nosuch", "moved"}) {
    SCOPED_TRACE(appid);
    writeFile(dir / (appid + std::string(".zip")), "stale");
    EXPECT_THROW(TWUServiceUpdater(std::string("app"), appid, "appsvc", dir.path()).Execute(), Exception);
    EXPECT_TRUE(test::fs::exists(dir / (appid + std::string(".zip"))));
  }
  EXPECT_TRUE(services.calls().empty());
  EXPECT_EQ(std::string::npos, log().find("Download finished OK"));

  TWUServiceUpdater(std::string("app"), "app1", "appsvc", dir.path()).Execute();
  EXPECT_EQ("new app", readFile(dir / "app"));
}

TEST_F(ServiceUpdateTest, AFailedInstallStartsTheServiceAgainAndLeavesNothingBehind) {
  services.addService("appsvc", {.state = kServiceRunning});
  test::FaultyOs refusing;  // the renames of the install, which run once the service was stopped
  refusing.fail(test::FaultyOs::Op::Rename, "", kOSErrors.accessDenied);
  {
    TWUServiceUpdater updater(std::string("app"), "app1", "appsvc", dir.path());
    updater.setOs(refusing);
    EXPECT_THROW(updater.Execute(), EZipError);
  }
  EXPECT_EQ("old app", readFile(dir / "app"));
  EXPECT_EQ(kServiceRunning, services.state("appsvc"));
  EXPECT_EQ("stop appsvc", services.calls().front());
  EXPECT_EQ(std::string::npos, log().find("Installing update: OK"));
  EXPECT_NE(log().find("Installing update:..."), std::string::npos);
  // Neither the download nor the install record nor a temporary file stays.
  EXPECT_TRUE(test::fs::is_empty(dir / ".kn-updater"));
  for (const auto& e : test::fs::directory_iterator(dir.path()))
    EXPECT_FALSE(isUnpackTempName(e.path().filename().string())) << e.path();
}

// Packages whose directory reads well but which could not be installed: all refused before any
// service is touched.
TEST_F(ServiceUpdateTest, APackageThatCannotBeInstalledStopsNothing) {
  services.addService("appsvc", {.state = kServiceRunning});
  test::fs::create_directory(dir / "data");
  std::vector<ZipEntry> two = {{"app", "new app"}, {"app.conf", "second entry data"}};
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"not a zip", "<html>not a zip</html>"},
      {"a folder in the way", test::zipBytes({{"app", "a"}, {"data", "b"}}, "")},
      {"wrong password", test::zipBytes(two, "9999")},
      {"bad CRC", test::corruptEntry(test::zipBytes(two, ""), "app.conf", "second entry data")},
      {"name over 255 bytes", test::zipBytes({{"app", "a"}, {std::string(300, 'n'), "b"}}, "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server.package("app1", c.bytes);
    EXPECT_THROW(TWUServiceUpdater(std::string("app"), "app1", "appsvc", dir.path()).Execute(), EZipError);
    EXPECT_EQ("old app", readFile(dir / "app"));
  }
  EXPECT_TRUE(services.calls().empty());
}

TEST_F(ServiceUpdateTest, PollingEndsOnStateZeroOrAfterTwentyOneQueries) {
  services.addService("stuck", {.state = kServiceRunning, .stopQueries = -1});
  services.addService("stopped", {.state = kServiceStopped, .acceptStop = false});
  TWUServiceUpdater(std::string("app"), "app1", "stuck", dir.path()).Execute();
  EXPECT_NE(log().find("UPD:   checking status 3 attempt 21\r\nUPD: StopService: Done"), std::string::npos);
  EXPECT_EQ(std::string::npos, log().find("attempt 22"));
  EXPECT_EQ("new app", readFile(dir / "app"));  // the install is attempted anyway

  TWUServiceUpdater(std::string("app"), "app1", "stopped", dir.path()).Execute();
  EXPECT_NE(log().find("StopService:...\r\nUPD:   0\r\nUPD:   checking status 1 attempt 1\r\n"),
            std::string::npos);
  EXPECT_EQ(kServiceRunning, services.state("stopped"));  // started afterwards all the same

  TWUServiceUpdater(std::string("app"), "app1", "unknown", dir.path()).Execute();
  std::string text = log();
  EXPECT_NE(
      text.find(
          "StopService:...\r\nUPD:   0\r\nUPD:   checking status 0 attempt 1\r\nUPD: StopService: Done"),
      std::string::npos)
      << text;
}

// The download lives in the updater's private folder, so a package's own "<appid>.zip", or one
// named by a hostile appid, is never deleted nor written.
TEST_F(ServiceUpdateTest, ThePackageNeverTakesAFileOfTheFolder) {
  writeFile(dir / "app1.zip", "data of the application");
  server.package("app1", test::zipBytes({{"app", "new app"}, {"app1.zip", "the package's own data"}}, ""));
  TWUServiceUpdater(std::string("app"), "app1", "", dir.path()).Execute();
  EXPECT_EQ("the package's own data", readFile(dir / "app1.zip"));
  TWUServiceUpdater(std::string("app"), "app1", "", dir.path()).Execute();
  EXPECT_EQ("the package's own data", readFile(dir / "app1.zip"));

  server.package("app1", "not a zip");
  EXPECT_THROW(TWUServiceUpdater(std::string("app"), "app1", "", dir.path()).Execute(), EZipError);
  EXPECT_EQ("the package's own data", readFile(dir / "app1.zip"));
  EXPECT_TRUE(test::fs::is_empty(dir / ".kn-updater"));
  EXPECT_FALSE(test::fs::exists(test::fs::path(dir.path()).parent_path().parent_path() / "app1.zip"));
}

TEST_F(ServiceUpdateTest, WithoutAServiceOnlyTheFilesAreReplaced) {
  TWUServiceUpdater(std::string("app"), "app1", "", dir.path()).Execute();
  EXPECT_EQ("new app", readFile(dir / "app"));
  EXPECT_TRUE(services.calls().empty());
  EXPECT_EQ(std::string::npos, log().find("Service"));
}

}  // namespace
}  // namespace kn

namespace kn {
namespace {

// Keys and signatures made by the openssl command line, as a publisher makes them.
class SignedUpdateTest : public ServiceUpdateTest {
 protected:
  void SetUp() override {
    ServiceUpdateTest::SetUp();
    services.addService("appsvc", {.state = kServiceRunning});
    test::fs::create_directory(keys);
    const std::string k = test::hostPath(keys);
    test::run("openssl genpkey -algorithm ed25519 -out " + k + "/key.pem");
    test::run("openssl genpkey -algorithm ed25519 -out " + k + "/other.pem");
    test::run("openssl pkey -in " + k + "/key.pem -pubout -out " + k + "/pub.pem");
    writeFile(keys + "/app.pkg", test::zipBytes({{"app", "signed app"}}, kPackagePassword));
  }
  void TearDown() override { test::fs::remove_all(keys); }
  std::string sign(const std::string& key) {
    const std::string k = test::hostPath(keys);
    test::run("openssl pkeyutl -sign -rawin -inkey " + k + "/" + key + " -in " + k + "/app.pkg -out " + k +
              "/app.pkg.sig");
    return readFile(keys + "/app.pkg.sig");
  }
  std::string keys =
      dir.path() + "../" + test::fs::path(dir.path()).parent_path().filename().string() + "-keys";
};

TEST_F(SignedUpdateTest, OnlyAPackageSignedByThePublisherIsInstalled) {
  std::string package = readFile(keys + "/app.pkg");
  std::string good = sign("key.pem"), wrong = sign("other.pem");
  std::string changed = package;
  changed[changed.size() / 2] ^= 1;
  struct Case {
    const char* appid;
    std::string package;
    std::optional<std::string> signature;
    std::string key = "pub.pem";
  } cases[] = {
      {"wrongkey", package, wrong},
      {"missing", package, std::nullopt},
      {"truncated", package, good.substr(0, 63)},
      {"changed", changed, good},
      {"longer", package, good + "x"},
      {"nokey", package, good, "nosuch.pem"},
      {"notakey", package, good, "app.pkg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.appid);
    server.package(c.appid, c.package);
    if (c.signature) server.signature(c.appid, *c.signature);
    TWUServiceUpdater u(std::string("app"), c.appid, "appsvc", dir.path(), keys + "/" + c.key);
    try {
      u.Execute();
      ADD_FAILURE() << "installed";
    } catch (const ESignatureError& e) {
      EXPECT_NE(std::string(e.what()).find("signature"), std::string::npos) << e.what();
    }
    EXPECT_EQ("old app", readFile(dir / "app"));
    EXPECT_TRUE(test::fs::is_empty(dir / ".kn-updater"));
  }
  EXPECT_TRUE(services.calls().empty());  // nothing was stopped
  EXPECT_EQ(std::string::npos, log().find("signature OK"));

  server.package("good", package);
  server.signature("good", good);
  TWUServiceUpdater(std::string("app"), "good", "appsvc", dir.path(), keys + "/pub.pem").Execute();
  EXPECT_EQ("signed app", readFile(dir / "app"));
  EXPECT_NE(log().find("UPD: Download finished OK\r\nUPD: Package signature OK\r\nUPD: StopService:..."),
            std::string::npos)
      << log();
}

// A package, signed or not, never replaces the updater's own files: here the key it checks with.
TEST_F(SignedUpdateTest, APackageThatWouldReplaceTheUpdatersKeyIsRefusedBeforeAnyServiceStops) {
  test::fs::copy_file(keys + "/pub.pem", dir / "pub.pem");
  writeFile(keys + "/app.pkg", test::zipBytes({{"app", "new app"}, {"keys/pub.pem", "a key of the attacker's"}},
                                              kPackagePassword));
  server.package("app1", readFile(keys + "/app.pkg"));
  server.signature("app1", sign("key.pem"));
  try {
    TWUServiceUpdater(std::string("app"), "app1", "appsvc", dir.path(), dir / "pub.pem").Execute();
    ADD_FAILURE() << "installed";
  } catch (const EZipError& e) {
    EXPECT_NE(std::string(e.what()).find("would replace pub.pem, which belongs to the updater itself"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(readFile(keys + "/pub.pem"), readFile(dir / "pub.pem"));
  EXPECT_EQ("old app", readFile(dir / "app"));
  EXPECT_TRUE(services.calls().empty());
}

}  // namespace
}  // namespace kn
