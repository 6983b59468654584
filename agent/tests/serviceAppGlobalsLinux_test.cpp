// What only the Linux hive can hold: a value whose bytes are no UTF-8 (the Windows registry keeps
// UTF-16 text, so such a value cannot arise there).
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "KNEnv.h"
#include "KNTempSysRoot.h"
#include "ext.channel.h"
#include "knAppData.h"
#include "knLOG2.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

TEST(APIKeyLinuxTest, PolicyBytesThatAreNoTextTravelAsReplacementCharacters) {
  test::TempSysRoot root;
  const std::string exeDir = root.path() + "/opt/kestrane/";
  std::filesystem::create_directories(exeDir);
  setExeOverride(exeDir, "auditagent");
  initLogAt(exeDir, "auditagent");
  resetAppGlobals();
  test::TempSysRoot::write(root.path() + "/sys/etc/kestrane/HKLM.reg",
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Policies\\ZARODIRazev]\r\n\"apikey\"=\"k\xFFy\"\r\n");
  loadAppGlobalDefaults();
  initAppGlobals("zarodirazev");
  EXPECT_EQ(apiKey(), "k\xFFy");
  EXPECT_TRUE(hasAPIKey());
  // The header is sent whatever the bytes: text it cannot carry becomes U+FFFD.
  auto header = nlohmann::json::parse(TExtChannel::getGlobalInstance()->headers().at(0).substr(13));
  EXPECT_EQ(header["k"], "k\xEF\xBF\xBDy");
  EXPECT_NE(test::TempSysRoot::read(mainLogFile()).find("Loaded api key from group policy.\r\n"), std::string::npos);

  TExtChannel::setGlobalInstance(nullptr);
  releaseAppData();
  resetAppGlobals();
  resetLog();
  setExeOverride("", "");
}

}  // namespace
}  // namespace kn
