#include "ext.asciijson.h"

#include <gtest/gtest.h>

namespace kn {
namespace {

using nlohmann::json;

TEST(AsciiJson, StringEscapes) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain text", R"("plain text")"},
      {"a/b\\c\"d", R"("a\/b\\c\"d")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},  // DEL is 7-bit: unchanged
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"Jos\xC3\xA9", R"("Jos\u00e9")"},            // two-byte UTF-8
      {"\xE2\x82\xAC", R"("\u20ac")"},              // three-byte
      {"\xF0\x9F\x98\x80", R"("\ud83d\ude00")"},    // beyond U+FFFF: a surrogate pair
      {"a\xFFz", R"("a\ufffdz")"},                  // not UTF-8
      {"\xC3", R"("\ufffd")"},                      // cut short
      {"\xC0\xAF", R"("\ufffd\ufffd")"},            // overlong "/"
      {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},  // an encoded surrogate
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(toAsciiJson(json(c.in)), c.out);
    EXPECT_EQ(asciiEscapedSize(c.in) + 2, c.out.size());
  }
}

TEST(AsciiJson, CompactValuesReadBackUnchanged) {
  json v = {{"b", true},
            {"n", nullptr},
            {"i", -9007199254740993LL},
            {"u", 18446744073709551615ULL},
            {"f", 1.5},
            {"whole", 2.0},
            {"a", json::array({1, "x/y", json::object(), json::array()})},
            {"t\xC3\xA9xt", "\xE6\x97\xA5\xE6\x9C\xAC"}};
  std::string s = toAsciiJson(v);
  EXPECT_EQ(s.find(' '), std::string::npos);
  for (unsigned char c : s) EXPECT_LT(c, 0x80);
  EXPECT_EQ(json::parse(s), v);
  EXPECT_NE(s.find(R"("whole":2.0)"), std::string::npos) << "a float stays a float on the wire";
  EXPECT_EQ(asciiJsonSize(v), s.size());
}

}  // namespace
}  // namespace kn
