#include "ScriptHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "AuditScript.h"
#include "TempRoot.h"
#include "knLOG2.h"

namespace kn {
namespace {

using test::TempRoot;

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
  ScriptRun run = runScript("local x = 1\nx = x + 1\n");
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(run.trace, (std::vector<std::string>{
                           "Instantiating TScriptControl...", "ScriptControl instantiated",
                           "Executing script... (tmpfile=/tmp/result file.xml)", "Parsing script OK",
                           "Script execution ended to /tmp/result file.xml"}));
}

TEST(ScriptHost, FailureTracesTheErrorEventAndTheException) {
  ScriptRun run = runScript("x = 1\nx = x +\n");
  ASSERT_EQ(run.trace.size(), 5u);
  EXPECT_EQ(run.trace[3], "SCRIPT ERROR DETECTED");
  EXPECT_EQ(run.trace[4].rfind("script Exception ", 0), 0u) << run.trace[4];
  EXPECT_EQ(run.error, "ScriptControl error: " + run.trace[4].substr(17) + " L:3");
}

// Each failing text, and the line its error must name.
TEST(ScriptHost, ErrorsNameTheLineOfTheText) {
  struct Case {
    const char* name;
    const char* code;
    int line;
    const char* description;  // part of the description, "" for any
  };
  const Case cases[] = {
      {"syntax error on line 3", "a = 1\nb = 2\nc = = 3\nd = 4\n", 3, "unexpected symbol"},
      {"the host provides no wscript", "a = 1\nb = 2\nc = 3\nd = 4\nwscript.echo('hi')\n", 5, "wscript"},
      {"error() inside a procedure", "local function f()\n\n  error('broken')\nend\nf()\n", 3, "broken"},
      {"error from a library call", "a = 1\nlocal n = ('x'):rep(-1, {})\n", 2, ""},
      {"error with a table value", "\nerror({})\n", 2, "(error object is a table value)"},
      {"os.exit does not end the agent", "a = 1\nos.exit(3)\n", 2, "os.exit"},
      {"error at the very end, CR LF lines", "a = 1\r\nb = 2\r\nerror('last')\r\n", 3, "last"},
  };
  for (const Case& c : cases) {
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
  const std::string code = "local f = io.open(" + luaQuoted(before) + ", 'w') f:write('x') f:close()\n" +
                           "local function never()\n  io.open(" + luaQuoted(inside) +
                           ", 'w'):close()\nend\n" + "wscript.echo('done')\n";
  ScriptRun run = runScript(code);
  EXPECT_TRUE(endsWith(run.error, " L:5")) << run.error;
  EXPECT_TRUE(std::filesystem::exists(before));
  EXPECT_FALSE(std::filesystem::exists(inside));
}

TEST(ScriptHost, TwoCallsShareNothing) {
  EXPECT_EQ(runScript("leftover = 42\nstring.leaked = true\n").error, "");
  EXPECT_EQ(runScript("assert(leftover == nil)\nassert(string.leaked == nil)\n").error, "");
}

// Controls whose Timeout counts `unit`s: the host's 1800 passes in 1800 of them.
ScriptControlFactory timeoutUnit(std::chrono::steady_clock::duration unit) {
  return [unit] { return createScriptControl(unit); };
}

TEST(ScriptHost, OverrunEndsTheRunWithAScriptErrorThatPcallCannotSwallow) {
  for (const char* code : {"local n = 0\nwhile true do n = n + 1 end\n", "while true do end\n",
                           "for i = 1, 1e9 do pcall(function() while true do end end) end\n"}) {
    SCOPED_TRACE(code);
    ScriptRun run = runScript(code, timeoutUnit(std::chrono::microseconds(100)));
    EXPECT_EQ(
        run.error.rfind("ScriptControl error: Script ran longer than its time limit of 1800 seconds L:", 0),
        0u)
        << run.error;
  }
  // A run that ends first is not stopped, and returns without waiting for the limit.
  EXPECT_EQ(runScript("for i = 1, 100000 do end\n", timeoutUnit(std::chrono::seconds(1))).error, "");
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
    std::vector<std::string> expected{"AllowUI=1", "Timeout=1800", "Language=lua", "OnError", "AddCode code"};
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
  EXPECT_THROW(executeScript("error('boom')", "/r.xml"), Exception);
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
