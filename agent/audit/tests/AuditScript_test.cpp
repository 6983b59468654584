#include "AuditScript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "KNBase64.h"
#include "KNPath.h"
#include "KNResources.h"
#include "ScriptHost.h"
#include "ScriptTexts.h"
#include "TempRoot.h"

namespace kn {
namespace {

const std::string kScript = "-- first\r\nx = 1\ny = 2\rz = 3\r\n";
const std::string kPreparedBody = "-- first\r\nx = 1\r\ny = 2\r\nz = 3\r\n";

TEST(PrepareAuditScript, StoredFormsDecodeToTheSameScript) {
  const std::string oneLine = base64Encode(kScript);
  std::string split, blanks;
  for (size_t i = 0; i < oneLine.size(); ++i) {
    split += oneLine[i];
    if (i % 7 == 6) split += (i % 2 ? "\r\n" : "\n");
    blanks += oneLine[i];
    if (i % 5 == 0) blanks += " \t";
  }
  const std::string expected = "outfilename=\"/r.xml\"\r\n" + kPreparedBody;
  for (const std::string& stored : {oneLine + "\r\n", split, blanks}) {
    SCOPED_TRACE(stored);
    EXPECT_EQ(prepareAuditScript(stored, "/r.xml"), expected);
  }
}

// The build stores the readable script as one line of base64 and CR LF; nobody edits that form.
TEST(PrepareAuditScript, TheEmbeddedScriptIsOneBase64LineOfTheReadableSource) {
  const std::string_view stored = findResource("ITAUDITDIC_META");
  ASSERT_TRUE(stored.ends_with("\r\n"));
  EXPECT_EQ(stored.find_first_of("\r\n"), stored.size() - 2);
  EXPECT_EQ(base64DecodeLenient(stored),
            test::readBytes(std::string(KN_AUDIT_RESOURCES) + "/" + test::kInventorySource));
}

// The stored script is text in the system's 8-bit code page; the programs hold UTF-8. On Windows that
// is Windows-1252 (the en dashes of the language names), on Linux UTF-8 itself, which stays as it is.
TEST(PrepareAuditScript, TheScriptIsReadInTheSystemsCodePage) {
  const std::string script = "n = \"Portugu\xeas \x96 Brasil\"\r\n";
#ifdef _WIN32
  const std::string body = "n = \"Portugu\xc3\xaas \xe2\x80\x93 Brasil\"\r\n";
#else
  const std::string body = script;
#endif
  EXPECT_EQ(prepareAuditScript(base64Encode(script), "f"), "outfilename=\"f\"\r\n" + body);
}

TEST(PrepareAuditScript, LinesAreSplitAtAnyLineEndAndEveryOneEndsInCrLf) {
  struct Case {
    std::string script, body;
  };
  const Case cases[] = {
      {"", ""},
      {"a", "a\r\n"},
      {"a\n", "a\r\n"},
      {"a\n\nb", "a\r\n\r\nb\r\n"},
      {"a\r\rb\r\n\r\n", "a\r\n\r\nb\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    EXPECT_EQ(prepareAuditScript(base64Encode(c.script), "f"), "outfilename=\"f\"\r\n" + c.body);
  }
}

TEST(PrepareAuditScript, LiteralsOfEachLanguage) {
  struct Case {
    std::string text, lua, vbscript;
  };
  const Case cases[] = {
      {"/var/lib/Kestrane/ZARODIRazev/latest audit.json.xml",
       "\"/var/lib/Kestrane/ZARODIRazev/latest audit.json.xml\"",
       "\"/var/lib/Kestrane/ZARODIRazev/latest audit.json.xml\""},
      {"C:\\ProgramData\\Kestrane\\latest audit.json.xml",
       "\"C:\\\\ProgramData\\\\Kestrane\\\\latest audit.json.xml\"",
       "\"C:\\ProgramData\\Kestrane\\latest audit.json.xml\""},
      {"", "\"\"", "\"\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\"", "\"say \"\"hi\"\"\""},
      {"a\nb\r", "\"a\\010b\\013\"", "\"a\" & Chr(10) & \"b\" & Chr(13) & \"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(luaQuoted(c.text), c.lua);
    EXPECT_EQ(vbscriptQuoted(c.text), c.vbscript);
  }
}

TEST(PrepareAuditScript, ResultFileNameReachesTheScriptExactly) {
  test::TempRoot root;
  // The script writes the file it is named, and the name it was given into echo.txt.
  const std::string echo = root / "echo.txt";
  const std::string script = test::writeFileLine("outfilename", scriptQuoted("")) + "\n" +
                             test::writeFileLine(scriptQuoted(echo), "outfilename") + "\n";
#ifdef _WIN32
  const char* const extraNames[] = {"it's & 100%.xml", "caf\xc3\xa9 \xe2\x82\xac.xml"};
#else
  const char* const extraNames[] = {"back\\slash\\n.xml", "quote\"d.xml", "new\nline\"); os.remove(\"x.xml"};
#endif
  std::vector<std::string> names{"plain.xml", "with blank.xml"};
  names.insert(names.end(), std::begin(extraNames), std::end(extraNames));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string file = root / name;
    executeScript(prepareAuditScript(base64Encode(script), file), file, [](const std::string&) {});
    EXPECT_TRUE(std::filesystem::exists(fsPath(file)));
    // The echo is text in the system's 8-bit code page: compared where the name is ASCII.
    if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      EXPECT_EQ(test::readBytes(echo), file);
    }
  }
  // A value no file can have on this system still reaches the script as it is, and nothing after it runs.
  for (const std::string value :
       {"quote\"d", "new\nline\"); os.remove(\"x", "a\" & wscript.echo(\"b", "back\\slash\\n"}) {
    SCOPED_TRACE(value);
    executeScript(prepareAuditScript(
                      base64Encode(test::writeFileLine(scriptQuoted(echo), "outfilename") + "\n"), value),
                  value, [](const std::string&) {});
    EXPECT_EQ(test::readBytes(echo), value);
  }
}

}  // namespace
}  // namespace kn
