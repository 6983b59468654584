// The streaming reader of the script result: events, text rules, and what is not well-formed.
#include "ScriptResultXml.h"

#include <gtest/gtest.h>

#include "KNTextCodec.h"
#include "TempRoot.h"

namespace kn {
namespace {

using namespace std::literals;

// The events of a document as text: "<a>" start, "</a>" end, "[text]" text; "error" when it is
// not well-formed.
std::string events(XmlReader&& xml) {
  std::string out;
  try {
    for (XmlReader::Event e; (e = xml.next()) != XmlReader::Event::Finish;) {
      if (e == XmlReader::Event::Start) out += "<" + xml.name() + ">";
      if (e == XmlReader::Event::End) out += "</" + xml.name() + ">";
      if (e == XmlReader::Event::Text) out += "[" + xml.text() + "]";
    }
  } catch (const EXMLError&) {
    return "error";
  }
  return out;
}

std::string events(std::string_view text) { return events(XmlReader(text)); }

TEST(ScriptResultXml, EventsAndTextRules) {
  const struct {
    std::string_view xml, expected;
  } cases[] = {
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- c --><a><b>x</b><c/></a>", "<a><b>[x]</b><c></c></a>"},
      // Whitespace before markup is no text; before text it belongs to it.
      {"<a> <b/> y </a>", "<a><b></b>[ y ]</a>"},
      {"<a>\r\n\t<![CDATA[x]]>  </a>", "<a>[x]</a>"},
      {"<a>\v x</a>", "<a>[\v x]</a>"},
      // Line ends in text and CDATA become LF.
      {"<a>1\r\n2\n\r3\r4<![CDATA[\r\n5]]></a>", "<a>[1\n2\n3\n4][\n5]</a>"},
      // Entities and character references; an unknown entity stays; character 0 ends the run.
      {"<a>&lt;&gt;&quot;&apos;&amp;</a>", "<a>[<>\"'&]</a>"},
      {"<a>&#65;&#x42;&#x0043;&#xe9;&#x1F600;</a>", "<a>[ABC\xC3\xA9\xF0\x9F\x98\x80]</a>"},
      {"<a>&foo; &amp &#X41; &#xZZ; x&</a>", "<a>[&foo; &amp &#X41; &#xZZ; x&]</a>"},
      {"<a>&#x200000;z&#xD800;</a>", "<a>[\xEF\xBF\xBDz\xEF\xBF\xBD]</a>"},  // no such character
      {"<a>x&#0;y<b/>z</a>", "<a>[x]<b></b>[z]</a>"},
      {"<a><![CDATA[&amp; ]]]]><![CDATA[>]]></a>", "<a>[&amp; ]]][>]</a>"},
      // Names, attributes, odd but accepted tags.
      {"< a b = \"1\" c='<'/>", "<a></a>"},
      {"<:x-.1></:x-.1 >", "<:x-.1></:x-.1>"},
      {"<a><b></b/></b></a>", "<a><b><b></b></b></a>"},  // "</b/>" is an empty element of its own
      {"<a>x<!DOCTYPE y>z</a>", "<a>[x][z]</a>"},
      // Text and elements after the root, and a stray end tag that ends the document.
      {"t<a/><b/>", "<a></a><b></b>"},
      {"<a/></x><<<", "<a></a>"},
      {"<a/>\0<<<"sv, "<a></a>"},  // a NUL byte ends the input
      {"<!-- only a comment -->", ""},
      // Not well-formed.
      {"", "error"},
      {" \n ", "error"},
      {"<a>", "error"},
      {"<a></b>", "error"},
      {"<a></A>", "error"},
      {"<a></ a>", "error"},
      {"<a/ >", "error"},
      {"<1a/>", "error"},
      {"<a b=1/>", "error"},
      {"<a b='1' b='2'/>", "error"},
      {"<a b='1/>", "error"},
      {"<a/>trailing", "error"},
      {"<a>x", "error"},
      {"<a><!-- x --  ></a>", "error"},
      {"<a><![CDATA[x</a>", "error"},
      {"<a/><?pi?>", "error"},
      {"<!-- c --><?xml?><a/>", "error"},
      {"<a><?pi?></a>", "error"},
  };
  for (const auto& c : cases) EXPECT_EQ(events(c.xml), c.expected) << c.xml;
}

TEST(ScriptResultXml, NestingIsBounded) {
  const auto nested = [](size_t n, std::string_view inner) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += "<a>";
    text += inner;
    for (size_t i = 0; i < n; ++i) text += "</a>";
    return text;
  };
  EXPECT_NE(events(nested(kMaxXmlDepth, "<b/>")), "error");
  EXPECT_EQ(events(nested(kMaxXmlDepth + 1, "")), "error");
  EXPECT_EQ(events(nested(100000, "")), "error");
}

// A file is read in blocks: a document larger than a block, with every construct across a block
// boundary somewhere, reads as the same document held in memory.
TEST(ScriptResultXml, FileInBlocksReadsLikeText) {
  test::TempRoot dir;
  std::string text = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<system>";
  for (int i = 0; text.size() < 300000; ++i)
    text += "\r\n\t<r n='" + std::to_string(i) + "'><v>&amp;" + std::to_string(i) +
            "\r\n</v><!-- note --><w><![CDATA[<" + std::string(i % 97, 'x') + "]]></w></r>";
  text += "</system>";
  dir.write("r.xml", text);
  const std::string fromFile = events(XmlReader::openFile(dir / "r.xml"));
  EXPECT_EQ(fromFile, events(text));
  EXPECT_NE(fromFile, "error");
  EXPECT_THROW(XmlReader::openFile(dir / "none.xml"), EXMLError);
  EXPECT_THROW(XmlReader::openFile(dir.path()), EXMLError);  // not a regular file
}

// The file of a Windows script may be UTF-16LE with its byte-order mark: it reads as the same
// document in UTF-8, across block boundaries that fall inside units and pairs; a cut file is not
// well-formed.
TEST(ScriptResultXml, EncodingsOfTheFile) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>";
  // Mostly pairs of units, so that block boundaries fall inside them.
  for (int i = 0; text.size() < 200000; ++i) {
    text += "\r\n\t<p><n>" + std::string(i % 3, 'x') + "caf\xC3\xA9 \xE2\x82\xAC &amp; ";
    for (int k = 0; k < 20; ++k) text += "\xF0\x9F\x98\x80";
    text += std::to_string(i) + "</n><![CDATA[<\xC3\xA9>]]></p>";
  }
  text += "\r\n</system>";
  const std::string expected = events(text);
  ASSERT_NE(expected, "error");
  const std::string utf16 = "\xFF\xFE" + encodeUtf16LE(text);
  const struct {
    const char* what;
    std::string bytes, expected;
  } cases[] = {
      {"UTF-8", text, expected},
      {"UTF-8 with its byte-order mark", "\xEF\xBB\xBF" + text, expected},
      {"UTF-16LE with its byte-order mark", utf16, expected},
      {"UTF-16LE cut inside a pair", utf16.substr(0, utf16.size() / 2 + 1), "error"},
      {"UTF-16LE of a small document", "\xFF\xFE" + encodeUtf16LE("<a>\xC3\xA9</a>"), "<a>[\xC3\xA9]</a>"},
      {"UTF-16LE, a unit without its pair", std::string("\xFF\xFE<\0a\0>\0\x00\xD8<\0/\0a\0>\0", 18),
       "<a>[\xEF\xBF\xBD]</a>"},
      {"UTF-16LE, a NUL unit ends the document", std::string("\xFF\xFE<\0a\0/\0>\0\0\0<\0", 14), "<a></a>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempRoot dir;
    dir.write("r.xml", c.bytes);
    EXPECT_EQ(events(XmlReader::openFile(dir / "r.xml")), c.expected);
  }
}

}  // namespace
}  // namespace kn
