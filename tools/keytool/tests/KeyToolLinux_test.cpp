// A hive file that cannot be written: Linux only, where the machine's HKLM is a file that a test
// can put out of reach (the Windows registry of a test run always takes the write).
#include <gtest/gtest.h>

#include <sstream>

#include "KNTempSysRoot.h"
#include "KeyTool.h"

namespace kn {
namespace {

TEST(KeyToolLinuxTest, AHiveThatCannotBeWrittenIsAFailureNotAUsageError) {
  test::TempSysRoot root;
  test::TempSysRoot::write(root.path() + "/sys/etc/kestrane", "a file where the folder should be");
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(runKeyTool({"set", "key"}, in, out, err), kKeyToolFailed);
  EXPECT_NE(err.str().find("kn-apikey: "), std::string::npos) << err.str();
}

}  // namespace
}  // namespace kn
