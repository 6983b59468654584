#include "ScriptHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "AuditScript.h"
#include "KNPath.h"
#include "ScriptTexts.h"
#include "TempRoot.h"
#include "knLOG2.h"

namespace kn {
namespace {

using test::TempRoot;
namespace script = test;

struct ScriptRun {
  std::vector<std::string> trace;
  std::string error;  // empty when the run succeeded
};

ScriptRun runScript(const std::string& code, const ScriptControlFactory& create = {}) {
  ScriptRun run;
  try {
    executeScript(
        code, "/tmp/result file.xml", [&](const std::string& line) { run.trace.push_back(line); }, create);
  } catch (const Exception& e) {
    run.error = e.what();
  }
  return run;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ScriptHost, SuccessfulRunTracesEveryStepInOrder) {
  ScriptRun run = runScript("x = 1\nx = x + 1\n");
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(run.trace, (std::vector<std::string>{
                           "Instantiating TScriptControl...", "ScriptControl instantiated",
                           "Executing script... (tmpfile=/tmp/result file.xml)", "Parsing script OK",
                           "Script execution ended to /tmp/result file.xml"}));
}

TEST(ScriptHost, FailureTracesTheErrorEventAndTheException) {
  ScriptRun run = runScript("a = 1\nb = 2\nc = = 3\n");
  ASSERT_EQ(run.trace.size(), 5u);
  EXPECT_EQ(run.trace[3], "SCRIPT ERROR DETECTED");
  EXPECT_EQ(run.trace[4].rfind("script Exception ", 0), 0u) << run.trace[4];
  EXPECT_EQ(run.error, "ScriptControl error: " + run.trace[4].substr(17) + " L:3");
}

// Each failing text of the system's language, and the line its error must name.
TEST(ScriptHost, ErrorsNameTheLineOfTheText) {
  for (const script::ScriptErrorCase& c : script::scriptErrorCases()) {
    SCOPED_TRACE(c.name);
    ScriptRun run = runScript(c.code);
    EXPECT_EQ(run.error.rfind("ScriptControl error: ", 0), 0u) << run.error;
    EXPECT_TRUE(endsWith(run.error, " L:" + std::to_string(c.line))) << run.error;
    EXPECT_NE(run.error.find(c.description), std::string::npos) << run.error;
    EXPECT_EQ(run.error.find("script:"), std::string::npos)
        << "position left in the description: " << run.error;
  }
}

TEST(ScriptHost, StatementsBeforeTheErrorHaveRunAndProceduresNeverCalledHaveNot) {
  TempRoot root;
  const std::string before = root / "before.txt", inside = root / "inside.txt";
  const std::string code =
      script::writeFileLine(scriptQuoted(before), scriptQuoted("x")) + "\n" +
      script::procedureLines("Never", script::writeFileLine(scriptQuoted(inside), scriptQuoted("y"))) + "\n" +
      "wscript.echo(\"done\")\n";
  ScriptRun run = runScript(code);
  EXPECT_TRUE(endsWith(run.error, " L:5")) << run.error;
  EXPECT_TRUE(std::filesystem::exists(fsPath(before)));
  EXPECT_FALSE(std::filesystem::exists(fsPath(inside)));
}

TEST(ScriptHost, TwoCallsShareNothing) {
  EXPECT_EQ(runScript("leftover = 42\n").error, "");
  EXPECT_EQ(runScript(script::failIfSetLine("leftover", "leftover from the first run") + "\n").error, "");
}

// A control that records what the host asked of it and fails where told to.
struct FakeScriptControl : ScriptControl {
  std::vector<std::string>* calls;
  bool failCode = false, noErrorRecord = false, errorRecordThrows = false, releaseThrows = false;
  std::function<void()> onError;

  explicit FakeScriptControl(std::vector<std::string>* log) : calls(log) {}
  void setAllowUI(bool allow) override { calls->push_back("AllowUI=" + std::to_string(allow)); }
  void setTimeout(long timeout) override { calls->push_back("Timeout=" + std::to_string(timeout)); }
  void setLanguage(const std::string& language) override { calls->push_back("Language=" + language); }
  void setErrorHandler(std::function<void()> handler) override {
    calls->push_back("OnError");
    onError = std::move(handler);
  }
  void addCode(const std::string& code) override {
    calls->push_back("AddCode " + code);
    if (!failCode) return;
    onError();
    throw EScriptControl("Object required");
  }
  std::optional<int> errorLine() override {
    calls->push_back("Error.Line");
    if (errorRecordThrows) throw std::runtime_error("no record");
    if (noErrorRecord) return std::nullopt;
    return 7;
  }
  void release() override {
    calls->push_back("release");
    if (releaseThrows) throw std::runtime_error("release failed");
  }
};

TEST(ScriptHost, DrivesTheControlInTheFixedOrderAndReleasesItOnEveryPath) {
  struct Case {
    const char* name;
    bool failCode, noErrorRecord, errorRecordThrows, releaseThrows;
    const char* error;
  };
  const Case cases[] = {
      {"success", false, false, false, false, ""},
      {"success, release fails", false, false, false, true, ""},
      {"script error", true, false, false, false, "ScriptControl error: Object required L:7"},
      {"no error record", true, true, false, false, "ScriptControl error: Object required L:???"},
      {"error record fails", true, false, true, true, "ScriptControl error: Object required L:???"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> calls;
    ScriptRun run = runScript("code", [&] {
      auto fake = std::make_unique<FakeScriptControl>(&calls);
      fake->failCode = c.failCode;
      fake->noErrorRecord = c.noErrorRecord;
      fake->errorRecordThrows = c.errorRecordThrows;
      fake->releaseThrows = c.releaseThrows;
      return fake;
    });
    EXPECT_EQ(run.error, c.error);
    std::vector<std::string> expected{"AllowUI=1", "Timeout=1800", std::string("Language=") + kScriptLanguage,
                                      "OnError", "AddCode code"};
    if (c.failCode) expected.push_back("Error.Line");
    expected.push_back("release");
    EXPECT_EQ(calls, expected);
  }
}

TEST(ScriptHost, CreationErrorPropagatesUnchanged) {
  std::vector<std::string> trace;
  EXPECT_THROW(executeScript(
                   "x", "f", [&](const std::string& line) { trace.push_back(line); },
                   []() -> std::unique_ptr<ScriptControl> { throw std::bad_alloc(); }),
               std::bad_alloc);
  EXPECT_EQ(trace, std::vector<std::string>{"Instantiating TScriptControl..."});
}

TEST(ScriptHost, TracesToTheAuditorsLogByDefault) {
  TempRoot root;
  initLogAt(root.path() + "/", "auditagent");
  EXPECT_THROW(executeScript(script::failLine("boom"), "/r.xml"), Exception);
  const std::string log = test::readBytes(namedLogFile("TWMIAuditor"));
  resetLog();
  const size_t executing = log.find("Executing script... (tmpfile=/r.xml)\r\n");
  const size_t detected = log.find("SCRIPT ERROR DETECTED\r\n");
  const size_t exception = log.find("script Exception boom\r\n");
  EXPECT_NE(executing, std::string::npos) << log;
  EXPECT_LT(executing, detected);
  EXPECT_LT(detected, exception);
}

}  // namespace
}  // namespace kn
