#include "KNTextCodec.h"

#include <gtest/gtest.h>

namespace kn {
namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(KNTextCodecTest, DecodesByByteOrderMark) {
  struct Case {
    const char* what;
    std::string in, out;
  } cases[] = {
      {"no mark: as it is", "caf\xC3\xA9\xFF", "caf\xC3\xA9\xFF"},
      {"empty", "", ""},
      {"UTF-8 mark dropped", "\xEF\xBB\xBFx", "x"},
      {"UTF-8 mark alone", "\xEF\xBB\xBF", ""},
      {"UTF-16LE", bytes({0xFF, 0xFE, 'h', 0, 0xE9, 0, 0xAC, 0x20}), "h\xC3\xA9\xE2\x82\xAC"},
      {"UTF-16BE", bytes({0xFE, 0xFF, 0, 'h', 0x20, 0xAC}), "h\xE2\x82\xAC"},
      {"surrogate pair", bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}), "\xF0\x9F\x98\x80"},
      {"lone high surrogate", bytes({0xFF, 0xFE, 0x3D, 0xD8, 'a', 0}),
       "\xEF\xBF\xBD"
       "a"},
      {"high surrogate at the end", bytes({0xFF, 0xFE, 0x3D, 0xD8}), "\xEF\xBF\xBD"},
      {"lone low surrogate", bytes({0xFF, 0xFE, 0x00, 0xDE}), "\xEF\xBF\xBD"},
      {"odd trailing byte", bytes({0xFF, 0xFE, 'a', 0, 'b'}), "a\xEF\xBF\xBD"},
      {"NUL kept", bytes({0xFF, 0xFE, 0, 0}), std::string(1, '\0')},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeText(c.in), c.out) << c.what;
}

TEST(KNTextCodecTest, AppendUtf8AtEveryLengthBoundary) {
  struct Case {
    char32_t cp;
    std::string out;
  } cases[] = {
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      {0x110000, "\xEF\xBF\xBD"},
      {0xD800, "\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::string s;
    appendUtf8(s, c.cp);
    EXPECT_EQ(s, c.out) << std::hex << static_cast<unsigned>(c.cp);
  }
}

// Cuts counted in UTF-16 code units, never inside a character.
TEST(KNTextCodecTest, CutToUtf16Units) {
  struct Case {
    const char* what;
    std::string in;
    size_t units;
    std::string out;
  } cases[] = {
      {"short enough: as it is", "abc", 3, "abc"},
      {"ASCII cut", "abcdef", 4, "abcd"},
      {"two-byte characters count one each", "\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\xC3\xA9\xC3\xA9"},
      {"a character past U+FFFF counts two", "a\xF0\x9F\x98\x80", 3, "a\xF0\x9F\x98\x80"},
      {"and is not split when one unit is left", "a\xF0\x9F\x98\x80", 2, "a"},
      {"a byte that is not UTF-8 is one U+FFFD", "\xFFxyz", 2, "\xEF\xBF\xBDx"},
      {"a cut sequence is U+FFFD per byte", "\xE2\x82", 5, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a surrogate's bytes are not UTF-8", "\xED\xA0\x80", 1, "\xEF\xBF\xBD"},
      {"zero units", "abc", 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(cutToUtf16Units(c.in, c.units), c.out) << c.what;
}

}  // namespace
}  // namespace kn
