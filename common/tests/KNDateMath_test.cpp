#include "KNDateMath.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kn {
namespace {

TEST(KNDateMathTest, TextHasTheFixedForm) {
  EXPECT_EQ(dateTimeToText(encodeDateTimeParts(2022, 2, 22, 14, 47, 24, 999)), "2022/02/22 14:47:24");
  EXPECT_EQ(dateTimeToText(encodeDateTimeParts(1, 1, 1, 0, 0, 0, 0)), "0001/01/01 00:00:00");
  EXPECT_EQ(dateTimeToText(0), "1899/12/30 00:00:00");
  EXPECT_THROW(dateTimeToText(NAN), EConvertError);
}

TEST(KNDateMathTest, RoundTripCutsToWholeSeconds) {
  for (double x : {45678.123456789, 25569.0, 0.75, 2958465.99998, -700.5, 44614.61625}) {
    double whole = std::floor(x * 86400 + 0.0005) / 86400;  // x cut to whole seconds
    if (x < 0) whole = -std::floor(-x * 86400 + 0.0005) / 86400;
    EXPECT_NEAR(textToDateTime(dateTimeToText(x)), whole, 1e-9) << x << " " << dateTimeToText(x);
  }
}

TEST(KNDateMathTest, TextReadsByPositionWhateverTheSeparators) {
  double expected = encodeDateTimeParts(2022, 2, 22, 14, 47, 24, 0);
  for (const char* text :
       {"2022/02/22 14:47:24", "2022-02-22 14:47:24", "2022.02.22T14.47.24", "2022/02/22 14:47:24.999"})
    EXPECT_EQ(textToDateTime(text), expected) << text;
  EXPECT_EQ(textToDateTime("2022/02/22"), encodeDateTimeParts(2022, 2, 22, 0, 0, 0, 0));
  EXPECT_EQ(textToDateTime("2022/02/22 14"), encodeDateTimeParts(2022, 2, 22, 14, 0, 0, 0));
  EXPECT_EQ(textToDateTime("2022/ 2/ 2  1: 2: 3"), encodeDateTimeParts(2022, 2, 2, 1, 2, 3, 0));
}

TEST(KNDateMathTest, ImpossibleTextThrows) {
  for (const char* text :
       {"", "garbage", "2022/13/01 00:00:00", "2022/02/30 00:00:00", "2022/02/22 24:00:00",
        "2022/02/22 23:60:00", "2022/02/22 23:59:60", "2022/00/01", "0000/01/01", "2022/-1/01", "2022/02"})
    EXPECT_THROW(textToDateTime(text), EConvertError) << '"' << text << '"';
}

}  // namespace
}  // namespace kn
