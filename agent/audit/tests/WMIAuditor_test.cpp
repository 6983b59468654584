// The audit engine: script result import, class dump conversion, the run's steps and failures, the
// written document, and one real run on this machine.
#include "WMIAuditor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "KNBase64.h"
#include "KNDateMath.h"
#include "KNEnv.h"
#include "KNLib.h"
#include "ScriptTexts.h"
#include "TempRoot.h"

namespace kn {
namespace {

using nlohmann::json;
using test::readBytes;
using test::TempRoot;

const std::string kFixtures = KN_AUDIT_FIXTURES;

// Answers each class with the next of its prepared answers (the last one repeats); records the calls.
class FakeProvider : public InstanceProvider {
 public:
  std::map<std::string, std::vector<std::vector<WmiObject>>> answers;
  std::vector<std::string> asked;

  std::vector<WmiObject> instancesOf(const std::string& className) override {
    const size_t call = std::count(asked.begin(), asked.end(), className);
    asked.push_back(className);
    const auto it = answers.find(className);
    if (it == answers.end()) throw EWMIError("Invalid class \"" + className + "\"");
    return it->second[std::min(call, it->second.size() - 1)];
  }
};

WmiProperty prop(std::string name, WmiValue value, int cimType, bool isArray = false) {
  return {std::move(name), "Test_Class", std::move(value), cimType, isArray};
}

// An engine on a fake provider and fake resources: the inventory script and the class list.
class Engine {
 public:
  explicit Engine(std::string classList = "", std::string script = "") {
    if (!script.empty()) resources["ITAUDITDIC_META"] = base64Encode(script) + "\r\n";
    if (!classList.empty()) resources["WMIOBJ_META"] = classList;
  }

  TWMIAuditor& make() {
    auto fake = std::make_unique<FakeProvider>();
    fake->answers = answers;
    provider = fake.get();
    WMIAuditorOptions options;
    options.connect = [&fake] { return std::move(fake); };
    options.findResource = [this](std::string_view name) -> std::string_view {
      const auto it = resources.find(std::string(name));
      if (it == resources.end()) throw Exception("Resource " + std::string(name) + " not found");
      return it->second;
    };
    options.trace = [this](const std::string& line) { traced.push_back(line); };
    engine = std::make_unique<TWMIAuditor>(outfn, std::move(options));
    return *engine;
  }

  // execute(), returning its error message ("" when it succeeded).
  std::string run() {
    try {
      make().execute();
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  const json& audit() const { return engine->result().at(TWMIAuditor::metaKey); }

  TempRoot dir;
  std::string outfn = dir / "latest_audit.json";
  std::map<std::string, std::string> resources;
  std::map<std::string, std::vector<std::vector<WmiObject>>> answers;
  std::vector<std::string> traced;
  FakeProvider* provider = nullptr;
  std::unique_ptr<TWMIAuditor> engine;
};

// A script in the system's language that writes `xml` as its result on its first line (line 2 of
// the prepared text), then runs the lines `after`.
std::string writingScript(const std::string& xml, const std::string& after = "") {
  return test::writeFileLine("outfilename", test::bytesLiteral(xml)) + "\n" + after;
}

const std::string kSmallResult =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><system><sys><hostname>box</hostname></sys>"
    "<users><user><user_name>alice</user_name></user></users></system>";

// ---- Script result ------------------------------------------------------------------------------

TEST(ScriptResultImport, SectionsFromTheFixture) {
  Engine e;
  e.make().importScriptResult(kFixtures + "/script_result.xml");
  const json& audit = e.audit();

  EXPECT_EQ(audit["MachineResume"], json::parse(R"([{}])"));  // an empty sys: one empty object
  EXPECT_EQ(audit["Users"], json::array());                   // no users section
  EXPECT_FALSE(audit.contains("bios"));

  const json& os = audit["OSResume"].at(0);
  EXPECT_EQ(os["organisation"], "Smith & Sons");  // CDATA without its markers
  EXPECT_EQ(os["registered_user"], "a ]]> b");    // "]]>" split over two CDATA sections
  EXPECT_EQ(os["service_pack"], "");
  EXPECT_EQ(os["language"], "Portugu\u00eas - Brasil");
  EXPECT_EQ(os["ole"], "not prefixed");  // "domain_role": the first 8 characters go, whatever they are
  EXPECT_EQ(os[""], "short");            // a name of at most 8 characters
  EXPECT_EQ(os["version"], "12");        // a later field replaces an earlier one

  // Seven comments and three packages: three objects.
  EXPECT_EQ(audit["Software"],
            json::parse(R"([{"name":"bash","version":"5.2.15-2"},{"name":"R&D <tools>"},{}])"));
  EXPECT_EQ(audit["SoftwareKeysDetail"], json::parse(R"([{"name":"Debian GNU/Linux 12","text":""}])"));
}

TEST(ScriptResultImport, MemberNamesAreCutTo1000Characters) {
  Engine e;
  const std::string name(1500, 'n');
  test::writeBytes(e.dir / "r.xml", "<system><sys><" + name + ">v</" + name + "></sys></system>");
  e.make().importScriptResult(e.dir / "r.xml");
  EXPECT_EQ(e.audit()["MachineResume"].at(0), json({{std::string(1000, 'n'), "v"}}));
}

TEST(ScriptResultImport, MissingOrBrokenFile) {
  Engine e;
  auto& engine = e.make();
  try {
    engine.importScriptResult(e.dir / "none.xml");
    FAIL();
  } catch (const Exception& x) {
    EXPECT_EQ(std::string(x.what()), "Fail: could not find script result file @" + (e.dir / "none.xml"));
  }
  test::writeBytes(e.dir / "bad.xml", "<system><sys></system>");
  EXPECT_THROW(engine.importScriptResult(e.dir / "bad.xml"), EXMLError);
}

// ---- Class dump ---------------------------------------------------------------------------------

TEST(ClassDump, ConversionByCimType) {
  Engine e;
  e.answers["Test_Types"] = {{{
      prop("Bool", true, kCimBoolean),
      prop("BoolText", "False", kCimBoolean),
      prop("Sint16", std::int64_t{-5}, kCimSint16),
      prop("Uint8", std::int64_t{255}, kCimUint8),
      prop("Uint16", std::int64_t{65535}, kCimUint16),
      prop("Uint32", std::int64_t{4294967295}, kCimUint32),
      prop("Uint64", "9223372036854775807", kCimUint64),
      prop("When", "20240115103005.000000+060", kCimDateTime),
      prop("Text", "Jo\u00e3o", kCimString),
      prop("Number", std::int64_t{7}, kCimString),
      prop("List", std::vector<std::string>{"a"}, kCimString, true),
      prop("Ints", std::vector<std::string>{"1"}, kCimUint16, true),
      prop("Null", std::monostate(), kCimString),
      prop("NullBool", std::monostate(), kCimBoolean),
      prop("Sint32", std::int64_t{7}, kCimSint32),
      prop("Sint64", "7", kCimSint64),
      prop("Sint8", std::int64_t{7}, kCimSint8),
      prop("Real", "1.5", kCimReal64),
      prop("Char", std::int64_t{65}, kCimChar16),
      prop("Ref", "Win32_Disk.DeviceID=\"x\"", kCimReference),
      prop("Object", "x", kCimObject),
      prop("Unknown", "x", 999),
  }}};
  e.answers["Test_Empty"] = {{{prop("Ref", "x", kCimReference)}}};
  e.answers["Test_None"] = {{}};
  auto& engine = e.make();
  engine.testWMI("Test_Types");
  engine.testWMI("Test_Empty");
  engine.testWMI("Test_None");

  EXPECT_EQ(e.audit()["Test_Types"], json::parse(R"([{
      "Bool": true, "BoolText": false, "Sint16": -5, "Uint8": 255, "Uint16": 65535, "Uint32": 4294967295,
      "Uint64": 9223372036854775807, "When": "20240115103005.000000+060", "Text": "Jo\u00e3o", "Number": "7"}])"));
  EXPECT_EQ(e.audit()["Test_Empty"], json::parse("[{}]"));  // only references: an empty object
  EXPECT_EQ(e.audit()["Test_None"], json::array());
}

TEST(ClassDump, FailureEndsTheClassAndKeepsWhatCameBefore) {
  Engine e;
  e.answers["Test_Big"] = {
      {{prop("N", std::int64_t{1}, kCimUint32)},
       {prop("N", std::int64_t{2}, kCimUint32), prop("Big", "9223372036854775808", kCimUint64)},
       {prop("N", std::int64_t{3}, kCimUint32)}}};
  e.answers["Test_Bad"] = {{{prop("Flag", "maybe", kCimBoolean)}}};
  auto& engine = e.make();
  engine.testWMI("Test_Big");
  engine.testWMI("Test_Missing");
  engine.testWMI("Test_Bad");
  EXPECT_EQ(e.audit()["Test_Big"],
            json::parse(R"([{"N":1}, "EConvertError: '9223372036854775808' is not a valid integer value"])"));
  EXPECT_EQ(e.audit()["Test_Missing"], json::parse(R"(["EWMIError: Invalid class \"Test_Missing\""])"));
  ASSERT_EQ(e.audit()["Test_Bad"].size(), 1u);
  EXPECT_TRUE(e.audit()["Test_Bad"][0].get<std::string>().starts_with("EConvertError: "));
}

TEST(ClassDump, MemberNames) {
  const std::string longName(150, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"Win32_Bios", "BiosDetail"},
      {"Win32_PerfFormattedData_PerfOS_System", "PerfFormattedData_PerfOS_SystemDetail"},
      {"Win32_" + longName, std::string(100, 'x') + "Detail"},
      {"Win32_", "Detail"},
      {"win32_bios", "win32_bios"},
      {"WIN32_Bios", "WIN32_Bios"},
      {"CIM_DataFile", "CIM_DataFile"},
      {"Win32", "Win32"},
      {"", ""},
  };
  for (const auto& [cls, member] : cases) EXPECT_EQ(TWMIAuditor::memberName(cls), member) << cls;
}

TEST(ClassDump, TraceLinesOfOneInstance) {
  Engine e;
  e.answers["Test_A"] = {{{prop("Name", "x", kCimString), prop("Null", std::monostate(), kCimUint16)}}};
  e.make().testWMI("Test_A");
  const std::vector<std::string> expected = {"Instantiating CoSWbemLocator...",
                                             "Instantiating CoSWbemLocator OK",
                                             "Connected to root\\cimv2",
                                             "  propcount=2",
                                             "    propName=Name    propOrigin=Test_Class",
                                             "       vartype=8 CIMType=8",
                                             "    propName=Null    propOrigin=Test_Class",
                                             "       vartype=1 CIMType=18"};
  EXPECT_EQ(e.traced, expected);
}

// ---- The run ------------------------------------------------------------------------------------

TEST(AuditRun, StepsInOrder) {
  Engine e("Test_A\r\n/Win32_Skipped\r\n\r\nTest_A\r\nwin32_lower", writingScript(kSmallResult));
  e.answers["Test_A"] = {{{prop("N", std::int64_t{1}, kCimUint32)}, {prop("N", std::int64_t{2}, kCimUint32)}},
                         {{prop("N", std::int64_t{3}, kCimUint32)}}};
  e.answers["win32_lower"] = {{}};
  ASSERT_EQ(e.run(), "");

  const json& audit = e.audit();
  EXPECT_EQ(audit["generator"], exePath());
  EXPECT_LE(audit["dt_start"].get<double>(), audit["dt_end"].get<double>());
  EXPECT_EQ(audit["MachineResume"], json::parse(R"([{"hostname":"box"}])"));
  EXPECT_EQ(audit["Users"], json::parse(R"([{"name":"alice"}])"));
  EXPECT_EQ(audit["Software"], json::array());
  EXPECT_EQ(audit["Test_A"],
            json::parse(R"([{"N":3}])"));  // listed twice: the second dump replaces the first
  EXPECT_EQ(audit[""], json::parse(R"(["EWMIError: Invalid class \"\""])"));  // the empty line is queried
  EXPECT_EQ(audit["win32_lower"], json::array());
  EXPECT_EQ(e.provider->asked, (std::vector<std::string>{"Test_A", "", "Test_A", "win32_lower"}));
  EXPECT_FALSE(std::filesystem::exists(e.outfn + ".xml"));  // the script result is deleted after import
  EXPECT_FALSE(std::filesystem::exists(e.outfn));           // nothing written before saveToFile

  const auto has = [&](const std::string& line) {
    return std::find(e.traced.begin(), e.traced.end(), line) != e.traced.end();
  };
  EXPECT_TRUE(has("ignoring /Win32_Skipped."));
  EXPECT_TRUE(has("querying ..."));
  EXPECT_TRUE(has("querying Test_A..."));
  EXPECT_TRUE(has("Script code released"));
  EXPECT_TRUE(has("Executing script... (tmpfile=" + e.outfn + ".xml)"));
}

TEST(AuditRun, FailuresNameTheirStep) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> resources;
    std::string expectedStart, expectedEnd;
  };
  const std::string script = base64Encode(writingScript(kSmallResult)) + "\r\n";
  const std::string brokenXml = base64Encode(writingScript("<system><sys></system>")) + "\r\n";
  const std::string silent = base64Encode("x = 1\n") + "\r\n";
  const std::string failing =
      base64Encode(writingScript(kSmallResult, test::failLine("boom") + "\n")) + "\r\n";
  const Case cases[] = {
      {"no script",
       {{"WMIOBJ_META", "Test_A"}},
       "Fail@doMethod2: Exception: Resource ITAUDITDIC_META not found",
       ""},
      {"no class list",
       {{"ITAUDITDIC_META", script}},
       "Fail@loadRes WMIOBJ_META: Exception: Resource WMIOBJ_META not found",
       ""},
      {"no result",
       {{"ITAUDITDIC_META", silent}, {"WMIOBJ_META", "Test_A"}},
       "Fail@doMethod2: Exception: Fail: could not find script result file @",
       "latest_audit.json.xml"},
      {"broken result",
       {{"ITAUDITDIC_META", brokenXml}, {"WMIOBJ_META", "Test_A"}},
       "Fail@doMethod2: EXMLError: ",
       ""},
      {"script error",
       {{"ITAUDITDIC_META", failing}, {"WMIOBJ_META", "Test_A"}},
       "Fail@doMethod2: Exception: ScriptControl error: ",
       "boom L:3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Engine e;
    e.resources = c.resources;
    const std::string message = e.run();
    EXPECT_TRUE(message.starts_with(c.expectedStart)) << message;
    EXPECT_TRUE(message.ends_with(c.expectedEnd)) << message;
    EXPECT_FALSE(std::filesystem::exists(e.outfn));
  }
}

TEST(AuditRun, AFailedScriptLeavesItsResultForTheNextRunToDelete) {
  Engine e("Test_A", writingScript(kSmallResult, test::failLine("late failure") + "\n"));
  e.answers["Test_A"] = {{}};
  EXPECT_TRUE(e.run().starts_with("Fail@doMethod2: "));
  ASSERT_TRUE(std::filesystem::exists(e.outfn + ".xml"));

  // The next script refuses to run beside a stale result.
  e.resources["ITAUDITDIC_META"] = base64Encode(test::failIfExistsLine("outfilename", "stale result") + "\n" +
                                                writingScript(kSmallResult)) +
                                   "\r\n";
  EXPECT_EQ(e.run(), "");
  EXPECT_FALSE(std::filesystem::exists(e.outfn + ".xml"));
}

TEST(AuditRun, ConnectionFailureLeavesTheConstructor) {
  WMIAuditorOptions options;
  options.connect = []() -> std::unique_ptr<InstanceProvider> { throw EWMIError("access denied"); };
  EXPECT_THROW(TWMIAuditor("unused", std::move(options)), EWMIError);
}

// ---- The document -------------------------------------------------------------------------------

TEST(AuditDocument, WrittenWholeAsIndentedAscii) {
  Engine e("Test_A", writingScript("<system><sys><hostname>box</hostname>"
                                   "<description>caf\xc3\xa9 \xf0\x9f\x98\x80</description>"
                                   "<model>bad \xff byte</model></sys>"
                                   "<users><user><user_name>x</user_name></user><user/></users></system>"));
  e.answers["Test_A"] = {{{prop("Name", "a\tb \xfe", kCimString), prop("Count", std::int64_t{3}, kCimUint32),
                           prop("Low", std::int64_t{-7}, kCimSint16), prop("On", true, kCimBoolean),
                           prop("Quote \"\\ \x7f", "x\"y\\z", kCimString)},
                          {}}};
  test::writeBytes(e.outfn, "an older document");
  ASSERT_EQ(e.run(), "");
  e.engine->saveToFile();

  const std::string text = readBytes(e.outfn);
  EXPECT_TRUE(
      std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  EXPECT_NE(text.find("caf\\u00e9 \\ud83d\\ude00"), std::string::npos);  // UTF-16 code units
  EXPECT_NE(text.find("bad \\ufffd byte"), std::string::npos);  // an invalid byte does not sink the audit
  EXPECT_NE(text.find("\n  \""), std::string::npos);            // indented

  const json doc = json::parse(text);
  // The document is made member by member; its bytes are those of one indented dump of the whole.
  EXPECT_EQ(text, doc.dump(2, ' ', true));
  EXPECT_EQ(doc, e.engine->result());
  EXPECT_EQ(doc["success"], true);
  const json& audit = doc[TWMIAuditor::metaKey];
  EXPECT_EQ(audit["MachineResume"][0]["description"], "caf\u00e9 \U0001F600");
  // "dt_execute" is not earlier than "dt_end", to the second.
  const std::string executed = doc["dt_execute"];
  ASSERT_EQ(executed.size(), 19u);
  EXPECT_GE(executed, dateTimeToText(audit["dt_end"].get<double>()).substr(0, 19));

#ifndef _WIN32  // Windows has no permission bits: the document takes its folder's access list
  EXPECT_EQ(std::filesystem::status(e.outfn).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
}

// A result without a host name and without an operating system describes no machine.
TEST(AuditRun, AResultWithoutMachineFactsFails) {
  Engine e("Test_A", writingScript("<system><sys><hostname></hostname><os_name> </os_name></sys></system>"));
  e.answers["Test_A"] = {{}};
  EXPECT_EQ(
      e.run().rfind(
          "Fail: the audit found no facts of this machine (no host name, no operating system) below ", 0),
      0u);
}

TEST(AuditDocument, AnUnwritableFileLeavesNothing) {
  Engine e("Test_A", writingScript(kSmallResult));
  e.answers["Test_A"] = {{}};
  e.outfn = e.dir / "missing-folder/latest_audit.json";
  auto& engine = e.make();
  EXPECT_THROW(engine.saveToFile(), EOSError);
  EXPECT_FALSE(std::filesystem::exists(e.dir / "missing-folder"));
}

}  // namespace
}  // namespace kn
