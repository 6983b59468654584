#include "KNNameValueList.h"

#include <gtest/gtest.h>

#include <random>

#include "KNLib.h"
#include "KNTestTempDir.h"

namespace kn {
namespace {

using test::TempDir;
using test::writeBytes;

TEST(TNameValueListTest, LookupIsCaseInsensitiveFirstMatchAndUntrimmed) {
  TNameValueList list;
  list.loadFromText(
      "# comment\r\nUrl=http://a/?x=1\nurl=second\r no equals \nkey = spaced \n=empty name\nÄ=upper");
  struct Case {
    const char* name;
    const char* value;
    int index;
  } cases[] = {
      {"url", "http://a/?x=1", 1},  // everything after the first "="; the first match wins
      {"URL", "http://a/?x=1", 1},
      {"key ", " spaced ", 4},  // nothing trimmed, on either side
      {"key", "", -1},
      {"# comment", "", -1},  // a line without "=" has no name
      {" no equals ", "", -1},
      {"", "empty name", 5},
      {"ä", "", -1},  // only ASCII letters fold
      {"Ä", "upper", 6},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.value(c.name), c.value) << c.name;
    EXPECT_EQ(list.indexOfName(c.name), c.index) << c.name;
    EXPECT_EQ(list.hasName(c.name), c.index >= 0) << c.name;
  }
  ASSERT_EQ(list.size(), 7);
  EXPECT_EQ(list.name(0), "");
  EXPECT_EQ(list.valueAt(0), "");
  EXPECT_EQ(list.line(3), " no equals ");
  EXPECT_EQ(list.name(1), "Url");
  EXPECT_THROW(list.line(7), Exception);
  EXPECT_THROW(list.name(-1), Exception);
}

TEST(TNameValueListTest, EditingAndWritingBack) {
  TNameValueList list;
  list.loadFromText("a=1\nB=2\n");
  list.setValue("b", "x=y");  // replaces the first match in place
  list.setValue("c", "");     // appends, even with an empty value
  list.add("plain");
  EXPECT_EQ(list.text(), "a=1\r\nb=x=y\r\nc=\r\nplain\r\n");
  EXPECT_EQ(list.value("B"), "x=y");

  // Anything that would not read back the same is refused.
  EXPECT_THROW(list.setValue("", "v"), Exception);
  EXPECT_THROW(list.setValue("a=b", "v"), Exception);
  EXPECT_THROW(list.setValue("a", "two\nlines"), Exception);
  EXPECT_THROW(list.add("x\ry"), Exception);
  EXPECT_EQ(list.size(), 4);

  TNameValueList again;
  again.loadFromText(list.text());
  EXPECT_EQ(again.text(), list.text());
}

TEST(TNameValueListTest, LoadsFilesInAnyEncoding) {
  TempDir dir;
  struct Case {
    std::string bytes, expected;
  } cases[] = {
      {"appid=abc\r\n", "abc"},
      {"\xEF\xBB\xBF"
       "appid=abc",
       "abc"},
      {std::string("\xFF\xFE"
                   "a\0p\0p\0i\0d\0=\0\xE9\0\r\0\n\0",
                   20),
       "\xC3\xA9"},
      {std::string("\xFE\xFF\0a\0p\0p\0i\0d\0=\0z", 16), "z"},
      {std::string("appid=a\0b\nx", 11), std::string("a\0b", 3)},  // a NUL byte is kept as it is
  };
  for (auto& c : cases) {
    writeBytes(dir / "serviceApp.ini", c.bytes);
    TNameValueList list;
    list.loadFromFile(dir / "serviceApp.ini");
    EXPECT_EQ(list.value("AppId"), c.expected);
  }
}

TEST(TNameValueListTest, FileFailuresNameTheFileAndKeepTheList) {
  TempDir dir;
  TNameValueList list;
  list.loadFromText("keep=1");
  try {
    list.loadFromFile(dir / "PCID.ini");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "PCID.ini"), std::string::npos) << e.what();
  }
  writeBytes(dir / "huge.ini", std::string(TNameValueList::kMaxFileBytes + 1, 'x'));
  EXPECT_THROW(list.loadFromFile(dir / "huge.ini"), Exception);
  EXPECT_THROW(list.loadFromFile(dir.path()), Exception);
  EXPECT_EQ(list.value("keep"), "1");
}

TEST(TNameValueListTest, SurvivesGarbage) {
  std::mt19937 rng(42);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 2000, '\0');
    for (char& c : bytes)
      c = static_cast<char>("=\r\n\0aA\xFF\xFE\xEF"[rng() % 9] ^ (rng() % 4 == 0 ? rng() : 0));
    TNameValueList list;
    list.loadFromText(bytes);
    for (int i = 0; i < list.size(); ++i) {
      bool named = list.line(i).find('=') != std::string::npos;
      EXPECT_EQ(named ? list.name(i) + "=" + list.valueAt(i) : "", named ? list.line(i) : "");
      if (named) {
        EXPECT_LE(list.indexOfName(list.name(i)), i);
      }
    }
    TNameValueList again;
    again.loadFromText(list.text());
    EXPECT_EQ(again.text(), list.text());
  }
  // One huge line without "=" and one with it far in.
  TNameValueList big;
  big.loadFromText(std::string(5'000'000, 'k') + "\n" + std::string(1'000'000, 'n') + "=v");
  EXPECT_EQ(big.value(std::string(1'000'000, 'N')), "v");
}

}  // namespace
}  // namespace kn
