#include "AuditScript.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "KNBase64.h"
#include "KNResources.h"
#include "ScriptHost.h"
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
  EXPECT_EQ(base64DecodeLenient(stored), test::readBytes(std::string(KN_AUDIT_RESOURCES) + "/inventory.lua"));
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

TEST(PrepareAuditScript, ResultFileNameReachesTheScriptExactly) {
  EXPECT_EQ(luaQuoted("/var/lib/Kestrane/ZARODIRazev/latest audit.json.xml"),
            "\"/var/lib/Kestrane/ZARODIRazev/latest audit.json.xml\"");
  test::TempRoot root;
  for (const std::string name : {"plain.xml", "with blank.xml", "back\\slash\\n.xml", "quote\"d.xml",
                                 "new\nline\"); os.remove(\"x.xml"}) {
    SCOPED_TRACE(name);
    const std::string file = root / name;
    const std::string script = "local f = assert(io.open(outfilename, 'w'))\nf:close()\n";
    executeScript(prepareAuditScript(base64Encode(script), file), file, [](const std::string&) {});
    EXPECT_TRUE(std::filesystem::exists(file));
  }
}

}  // namespace
}  // namespace kn
