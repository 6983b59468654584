#include "KNBase64.h"

#include <gtest/gtest.h>

#include "KNException.h"

namespace kn {

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    bytes += static_cast<char>(i * 37);
    std::string text = base64Encode(bytes);
    ASSERT_EQ(text.size() % 4, 0u);
    ASSERT_EQ(base64Decode(text), bytes);
    ASSERT_EQ(base64DecodeLenient(text), bytes);
  }
  EXPECT_EQ(base64Encode("Man"), "TWFu");
  EXPECT_EQ(base64Encode("Ma"), "TWE=");
  EXPECT_EQ(base64Encode("M"), "TQ==");
}

TEST(Base64, StrictRefusesWhatIsNotBase64) {
  for (const char* bad : {"abcde", "ab=c", "a===", "TQ=\n", "T*Q=", "===="}) {
    SCOPED_TRACE(bad);
    try {
      base64Decode(bad);
      ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Base64: Incorrect string format");
    }
  }
  EXPECT_EQ(base64Decode(""), "");
}

TEST(Base64, LenientSkipsWhatIsNotInTheAlphabet) {
  EXPECT_EQ(base64DecodeLenient("TW\r\nFu\r\n"), "Man");
  EXPECT_EQ(base64DecodeLenient(" T Q = = "), "M");
  EXPECT_EQ(base64DecodeLenient("T"), "");  // six bits make no byte
}

}  // namespace kn
