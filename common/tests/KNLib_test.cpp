#include "KNLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <filesystem>

#include "KNDecimalCommaLocale.h"
#include "KNTestTempDir.h"

namespace kn {
namespace {

using test::readBytes;
using test::ScopedEnv;
using test::TempDir;
using test::writeBytes;

TEST(KNLibTest, ValIntReadsTheLeadingInteger) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"12ab", 12},
      {"", 0},
      {" -7", -7},
      {"$1F", 31},
      {"0x1f", 31},
      {"X1F", 31},
      {"x", 0},
      {"abc", 0},
      {"+5", 5},
      {"-$10", -16},
      {"  042", 42},
      {"\t5", 0},
      {"0xg", 0},
      {"1 2", 1},
      {"-", 0},
      {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
      {"-2147483648", INT_MIN},
      {"$FFFFFFFFFFFFFFFFFFFF", INT_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(valInt(c.text), c.expected) << '"' << c.text << '"';
}

TEST(KNLibTest, ReplaceAllScansLeftToRightWithoutRescanning) {
  EXPECT_EQ(replaceAll("a.exe.exe", ".exe", ""), "a");
  EXPECT_EQ(replaceAll("aaa", "aa", "b"), "ba");          // no overlap
  EXPECT_EQ(replaceAll("ab", "a", "aa"), "aab");          // a replacement is never rescanned
  EXPECT_EQ(replaceAll("Abc abc", "abc", "x"), "Abc x");  // case-sensitive
  EXPECT_EQ(replaceAll("text", "", "x"), "text");
  EXPECT_EQ(replaceAll(std::string("a\0b", 3), std::string("\0", 1), "-"), "a-b");
}

TEST(KNLibTest, ZeroPadPadsButNeverCuts) {
  EXPECT_EQ(zeroPad(7, 2), "07");
  EXPECT_EQ(zeroPad(123, 2), "123");
  EXPECT_EQ(zeroPad(0, 3), "000");
  EXPECT_EQ(zeroPad(-7, 4), "-007");  // the sign stays in front of the zeros
  EXPECT_EQ(zeroPad(-7, 1), "-7");
  EXPECT_EQ(zeroPad(5, -1), "5");
}

TEST(KNLibTest, FormatNumberGroupsThousands) {
  struct Case {
    int decimals;
    bool comma;
    double value;
    const char* expected;
  } cases[] = {
      {2, true, 1234.5, "1.234,50"},
      {0, false, 1234567, "1 234 567"},
      {1, false, 123.4, "123.4"},
      {2, true, -123.45, "-123,45"},
      {2, true, 0, ""},
      {0, true, -999999, "-999.999"},
      {0, true, -1000, "-1.000"},
      {3, false, 1.0005, "1.000"},
      {0, false, 999.6, "1 000"},
      {2, false, NAN, ""},
      {2, false, INFINITY, ""},
      {-3, false, 12.7, "13"},
      {2, false, -0.001, "-0.00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(formatNumber(c.decimals, c.comma, c.value), c.expected) << c.value << " " << c.decimals;
  EXPECT_EQ(formatNumber(0, false, -1e300).substr(0, 10), "-1 000 000");  // the largest numbers fit too
}

TEST(KNLibTest, FormatNumberIgnoresTheProcessLocale) {
  // Only commaStyle chooses the separators: a process whose locale writes "1234,5" gets the
  // same texts (and no out-of-range access while looking for the ".").
  test::DecimalCommaLocale commaLocale;
  if (!commaLocale.available()) GTEST_SKIP() << "localedef cannot build a decimal-comma locale";
  EXPECT_EQ(formatNumber(2, true, 1234.5), "1.234,50");
  EXPECT_EQ(formatNumber(2, false, -1234567.891), "-1 234 567.89");
  EXPECT_EQ(formatNumber(0, false, 1234567), "1 234 567");
}

TEST(KNLibTest, SplitLinesAtEveryKindOfBreak) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitLines(""), V{});
  EXPECT_EQ(splitLines("a"), V{"a"});
  EXPECT_EQ(splitLines("a\r\n"), V{"a"});
  EXPECT_EQ(splitLines("\r\n"), V{""});
  EXPECT_EQ(splitLines("a\r\rb\n\nc\r\n\r\nd"), (V{"a", "", "b", "", "c", "", "d"}));
  EXPECT_EQ(splitLines("a\n\r"), (V{"a", ""}));  // LF then a lone CR: two breaks
}

TEST(KNLibTest, ReadTextFileDecodesAndEndsEveryLineWithCrLf) {
  TempDir dir;
  struct Case {
    std::string bytes, expected;
  } cases[] = {
      {"one\ntwo", "one\r\ntwo\r\n"},  // the last line gains its break
      {"", ""},
      {"a\r\n\r\nb\r", "a\r\n\r\nb\r\n"},
      {"\xEF\xBB\xBFx=1\n", "x=1\r\n"},
      {std::string("\xFF\xFE"
                   "a\0\n\0\xE9\0",
                   8),
       "a\r\n\xC3\xA9\r\n"},
      {std::string("n\0ul\n", 5), std::string("n\0ul\r\n", 6)},
  };
  for (const auto& c : cases) {
    writeBytes(dir / "f.txt", c.bytes);
    EXPECT_EQ(readTextFile(dir / "f.txt"), c.expected);
  }
}

TEST(KNLibTest, ReadFailuresNameTheFileAndTheReason) {
  TempDir dir;
  try {
    readTextFile(dir / "missing.txt");
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + (dir / "missing.txt") + "\". " + os().errorText(kOSErrors.notFound));
    EXPECT_STREQ(e.className(), "EOSError");
  }
  EXPECT_THROW(readTextFile(dir.path()), EOSError);  // a folder
  writeBytes(dir / "big", std::string(100, 'x'));
  EXPECT_THROW(readFileBytes(dir / "big", 99), EOSError);
  EXPECT_EQ(readFileBytes(dir / "big", 100).size(), 100u);
}

TEST(KNLibTest, WriteTextFileReplacesWhole) {
  TempDir dir;
  std::string path = dir / "out.txt";
  writeTextFile(path, "a\nb\rc\r\nd");
  EXPECT_EQ(readBytes(path), "a\r\nb\r\nc\r\nd\r\n");
  writeTextFile(path, "");
  EXPECT_EQ(readBytes(path), "");
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(KNLibTest, FailedWriteLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  EXPECT_THROW(writeTextFile(dir / "no/such/folder.txt", "x"), EOSError);
  // A folder in the way of the rename: the write fails, the folder and its content stay.
  std::filesystem::create_directory(dir / "taken");
  writeBytes(dir / "taken/keep", "old");
  try {
    writeTextFile(dir / "taken", "new");
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot write file"), std::string::npos) << e.what();
  }
  EXPECT_EQ(readBytes(dir / "taken/keep"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(KNLibTest, ListFilesRecursesIntoMatchingFolders) {
  TempDir dir;
  std::filesystem::create_directories(dir / "sub.txt/deeper");
  std::filesystem::create_directories(dir / "other");
  for (const char* f : {"a.txt", "b.log", "noext", "sub.txt/x.bin", "sub.txt/deeper/y", "other/z.txt"})
    writeBytes(dir / f, "");

  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  std::vector<std::string> list{"kept"};
  listFiles(dir / "*.txt", list, true);
  EXPECT_EQ(sorted(list), sorted({"kept", dir / "a.txt", dir / "sub.txt/x.bin", dir / "sub.txt/deeper/y"}));

  std::vector<std::string> bare;
  listFiles(dir / "*.*", bare, false);
  EXPECT_EQ(sorted(bare), sorted({"a.txt", "b.log", "noext", "x.bin", "y", "z.txt"}));

  std::vector<std::string> none;
  listFiles(dir / "missing/*.*", none, true);
  EXPECT_TRUE(none.empty());
}

TEST(KNLibTest, EncodeDateTimePartsMatchesTheEpochs) {
  EXPECT_EQ(encodeDateTimeParts(1899, 12, 30, 0, 0, 0, 0), 0.0);
  EXPECT_EQ(encodeDateTimeParts(1970, 1, 1, 0, 0, 0, 0), kUnixEpochDateTime);
  EXPECT_EQ(encodeDateTimeParts(1970, 1, 1, 12, 0, 0, 0), 25569.5);
  EXPECT_EQ(encodeDateTimeParts(2024, 2, 29, 6, 0, 0, 0), 45351.25);
  EXPECT_EQ(encodeDateTimeParts(1899, 12, 29, 6, 0, 0, 0), -1.25);  // time counts away from zero
  EXPECT_EQ(encodeDateTimeParts(1, 1, 1, 0, 0, 0, 0), -693593.0);
  EXPECT_EQ(encodeDateTimeParts(9999, 12, 31, 0, 0, 0, 0), 2958465.0);
}

TEST(KNLibTest, EncodeDateTimePartsRejectsOutOfRangeFields) {
  struct Case {
    int y, mo, d, h, mi, s, ms;
    const char* field;
  } cases[] = {
      {0, 1, 1, 0, 0, 0, 0, "year 0"},
      {10000, 1, 1, 0, 0, 0, 0, "year"},
      {2022, 13, 1, 0, 0, 0, 0, "month 13"},
      {2022, 0, 1, 0, 0, 0, 0, "month 0"},
      {2023, 2, 29, 0, 0, 0, 0, "day 29"},
      {2022, 4, 31, 0, 0, 0, 0, "day 31"},
      {1900, 2, 29, 0, 0, 0, 0, "day 29"},
      {2022, 1, 0, 0, 0, 0, 0, "day 0"},
      {2022, 1, 1, 24, 0, 0, 0, "hour 24"},
      {2022, 1, 1, -1, 0, 0, 0, "hour -1"},
      {2022, 1, 1, 0, 60, 0, 0, "minute 60"},
      {2022, 1, 1, 0, 0, 60, 0, "second 60"},
      {2022, 1, 1, 0, 0, 0, 1000, "millisecond 1000"},
  };
  for (const auto& c : cases) {
    try {
      encodeDateTimeParts(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
      ADD_FAILURE() << "no exception for " << c.field;
    } catch (const EConvertError& e) {
      EXPECT_NE(std::string(e.what()).find(c.field), std::string::npos) << e.what();
    }
  }
  EXPECT_NO_THROW(encodeDateTimeParts(2000, 2, 29, 23, 59, 59, 999));
}

TEST(KNLibTest, DecodeInvertsEncode) {
  struct Case {
    int y, mo, d, h, mi, s, ms, dow;
  } cases[] = {
      {2024, 1, 15, 13, 45, 7, 123, 1}, {1970, 1, 1, 0, 0, 0, 0, 4}, {1899, 12, 30, 0, 0, 0, 0, 6},
      {1899, 12, 29, 6, 0, 0, 0, 5},    {1, 1, 1, 0, 0, 0, 1, 1},    {9999, 12, 31, 23, 59, 59, 999, 5},
      {2000, 2, 29, 12, 0, 0, 500, 2},
  };
  for (const auto& c : cases) {
    DateTimeParts p = decodeDateTimeParts(encodeDateTimeParts(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms));
    EXPECT_EQ((std::array{p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond, p.dayOfWeek}),
              (std::array{c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms, c.dow}))
        << c.y << "-" << c.mo << "-" << c.d;
  }
  for (double bad : {double{NAN}, double{INFINITY}, -1e9, 3e6})
    EXPECT_THROW(decodeDateTimeParts(bad), EConvertError) << bad;
}

}  // namespace
}  // namespace kn
