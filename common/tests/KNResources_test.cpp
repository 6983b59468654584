#include "KNResources.h"

#include "KNException.h"
#include "KNTestTempDir.h"

#include <gtest/gtest.h>

namespace kn {
namespace {

std::string sampleBytes() { return test::readBytes(KN_RESOURCE_SAMPLE_PATH); }

TEST(KNResources, FindsEmbeddedFilesByNameInAnyCase) {
  const std::string greeting = "Hello, resources.\r\nSecond line \xe2\x80\x93 with an en dash.\r\n";
  EXPECT_EQ(findResource("GREETING"), greeting);
  EXPECT_EQ(findResource("greeting"), greeting);
  EXPECT_TRUE(hasResource("Greeting"));
  // The data is followed by a NUL outside its size, so C interfaces may take it as it is.
  EXPECT_EQ(findResource("GREETING").data()[greeting.size()], '\0');
}

TEST(KNResources, KeepsBinaryBytesAndEncodesBase64AsOneCrLfLine) {
  ASSERT_EQ(sampleBytes().size(), 10u);  // holds a NUL, 0xff and a CR LF
  EXPECT_EQ(findResource("SAMPLE_B64"), "YQBi/wENCj0rLw==\r\n");
}

TEST(KNResources, ResourceOfAStaticLibrarySurvivesLinking) {
  // Nothing refers to the library's code: only the resource step can have brought this record in.
  EXPECT_EQ(findResource("LIBRARY_SAMPLE"), sampleBytes());
}

TEST(KNResources, MissingNameThrowsTheResourceError) {
  EXPECT_FALSE(hasResource("ITAUDITDIC_META_MISSING"));
  EXPECT_FALSE(hasResource(""));
  EXPECT_FALSE(hasResource("GREETIN"));
  try {
    findResource("ITAUDITDIC_META_MISSING");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Resource ITAUDITDIC_META_MISSING not found");
  }
}

}  // namespace
}  // namespace kn
