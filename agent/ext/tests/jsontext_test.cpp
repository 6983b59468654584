// Reply text without recursion and without trust: the iterative writer, charsets and previews, and
// the number kinds of a deep document.
#include <gtest/gtest.h>

#include "KNJsonKinds.h"
#include "ext.channel.h"
#include "ext.jsontext.h"
#include "ext.replytext.h"
#include "ext.tables.h"

namespace kn {
namespace {

using nlohmann::json;

constexpr JsonLimits kDeepAndLarge{.maxDepth = 200000, .maxCost = SIZE_MAX};

std::string nested(size_t depth, const std::string& inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonText, WritesAsTheLibraryDoes) {
  json values[] = {
      json::parse(R"({"b":[1,-2,18446744073709551615,1.5,1e300,true,null,"x"],"a":{},"c":[],"d":"\/"})"),
      "quote \" backslash \\ controls \b\f\n\r\t\x01\x1f del \x7f",
      "Jos\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
      json::object({{"k\n\xC3\xA9", json::array({json::object(), 0.1})}}),
  };
  for (const json& v : values) {
    EXPECT_EQ(jsonText(v, true), v.dump(-1, ' ', true)) << v.dump();
    EXPECT_EQ(jsonText(v, false), v.dump()) << v.dump();
  }
  EXPECT_EQ(jsonText("a\xFF"
                     "b",
                     true),
            R"("a\ufffdb")");
  EXPECT_EQ(jsonText("a\xFF"
                     "b",
                     false),
            "\"a\xEF\xBF\xBD"
            "b\"");
}

TEST(JsonText, AnyDepthAndStopsEarly) {
  JsonParseResult deep = parseJsonBounded(nested(100000), kDeepAndLarge);
  ASSERT_EQ(deep.outcome, JsonParseOutcome::Ok);
  EXPECT_EQ(jsonText(deep.value, true), nested(100000));
  std::string cut = jsonText(deep.value, true, 10);
  EXPECT_EQ(cut, std::string(11, '['));
  EXPECT_EQ(jsonText(std::string(1 << 20, 'x'), false, 100).size(), 101u) << "a long string is cut too";

  std::string line = jsonLogText(json::array({std::string(5000, 'y')}));
  EXPECT_EQ(line, "[\"" + std::string(998, 'y') + "...");
}

TEST(ReplyText, CharsetParameter) {
  struct Case {
    const char *contentType, *charset;
  } cases[] = {
      {"application/json; charset=utf-8", "utf-8"},
      {"application/json;Charset=ISO-8859-1", "ISO-8859-1"},
      {"application/json; CHARSET = \"utf-8\" ; q=1", "utf-8"},
      {"application/json; name=\"a;charset=x\"; charset=koi8-r", "koi8-r"},
      {"application/json", ""},
      {"text/html; charsetx=1", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(charsetOf(c.contentType), c.charset) << c.contentType;
}

TEST(ReplyText, DecodingNeverFails) {
  struct Case {
    std::string body;
    const char* contentType;
    std::string text;
  } cases[] = {
      {"\xEF\xBB\xBF{}", "application/json", "{}"},
      {std::string("\xFF\xFE{\0}\0", 6), "application/json", "{}"},
      {"\xC3\xA9\xC3", "application/json; charset=utf-8", "\xC3\xA9\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is not UTF-8
      {"\xE9t\xE9", "text/plain; charset=latin1", "\xC3\xA9t\xC3\xA9"},
      {"\xC1", "text/plain; charset=koi8-r", "\xD0\xB0"},
      {"a\x81z", "text/plain; charset=windows-1252", "a\xEF\xBF\xBDz"},  // a byte the code page leaves out
      {std::string("\0a\xD8\x00", 4), "text/plain; charset=utf-16", "a\xEF\xBF\xBD"},  // a lone surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(decodeReplyText(c.body, c.contentType), c.text) << c.contentType;
}

TEST(ReplyText, PreviewCountsCharactersAndEscapes) {
  std::string euros;
  for (int i = 0; i < 10; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(replyPreview(euros, "", 4), "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC...");
  EXPECT_EQ(replyPreview("a\r\nb\x1b", "", 10), "a\\r\\nb\\x1b");
  EXPECT_EQ(replyPreview("abc", "", 3), "abc");
  EXPECT_EQ(replyPreview(std::string(100, 'x'), "", 99), std::string(99, 'x') + "...");
}

// Without a server: exactly what a call does with a reply once it has arrived.
TEST(ReadReply, StatusAndShape) {
  EXPECT_EQ(TExtChannel::readReply(200, "application/json", R"({"result":[1]})"), json::array({1}));
  EXPECT_TRUE(TExtChannel::readReply(204, "", R"({"type":"rpc"})").is_null());
  EXPECT_THROW(TExtChannel::readReply(200, "", "[]"), EExtCommunicationError);
  EXPECT_THROW(TExtChannel::readReply(200, "", std::string(TExtChannel::kMaxReplyBytes + 1, ' ')),
               EExtCommunicationError);
  try {
    TExtChannel::readReply(503, "text/plain; charset=iso-8859-1", "Indispon\xEDvel");
    ADD_FAILURE();
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()), "Communication error: 503 Indispon\xC3\xADvel");
    EXPECT_EQ(e.status(), 503);
  }
  try {
    TExtChannel::readReply(200, "", R"({"type":"exception","message":)" + std::string(300, '[') + "}");
    ADD_FAILURE();
  } catch (const EExtCommunicationError& e) {
    EXPECT_EQ(std::string(e.what()), "Communication error: the reply is nested deeper than 256 levels");
    EXPECT_EQ(e.status(), 0) << "a reply that arrived but cannot be read is no refusal";
  }
  try {
    TExtChannel::readReply(200, "", R"({"type":"exception","message":")" + std::string(2000, 'm') + "\"}");
    ADD_FAILURE();
  } catch (const EExtError& e) {
    EXPECT_EQ(std::string(e.what()), std::string(1000, 'm') + "...");
  }
}

// The document's kinds cost constant work per value, so depth alone cannot exhaust memory.
TEST(JsonDocumentDepth, DeepDocumentKeepsItsKinds) {
  JsonDocument doc(nested(100000, "[1.50,2.5e0]"));
  const json* v = &doc.value();
  while (v->size() == 1) v = &(*v)[0];
  ASSERT_EQ(v->size(), 2u);
  EXPECT_EQ(doc.numberKind((*v)[0]), JsonNumberKind::Currency);
  EXPECT_EQ(doc.numberKind((*v)[1]), JsonNumberKind::Float);
}

TEST(JsonDocumentDepth, TablesTakeDeepMembersAsText) {
  json rows = json::array({json::object({{"deep", "text"}}), json::object()});
  rows[1]["deep"] = parseJsonBounded(nested(100000), kDeepAndLarge).value;
  auto table = createMTFromArray(rows, nullptr);
  table->first();
  table->next();
  EXPECT_EQ(table->fieldByName("deep").asText(), nested(100000));
}

}  // namespace
}  // namespace kn
