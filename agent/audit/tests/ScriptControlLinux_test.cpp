// The Lua control through the host: what only Lua has (its time limit's hook, its library tables).
#include <gtest/gtest.h>

#include "ScriptHost.h"

namespace kn {
namespace {

// The run's error message, "" when it succeeded.
std::string runScript(const std::string& code, const ScriptControlFactory& create = {}) {
  try {
    executeScript(
        code, "/tmp/result file.xml", [](const std::string&) {}, create);
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

// Controls whose Timeout counts `unit`s: the host's 1800 passes in 1800 of them.
ScriptControlFactory timeoutUnit(std::chrono::steady_clock::duration unit) {
  return [unit] { return createScriptControl(unit); };
}

TEST(ScriptHost, OverrunEndsTheRunWithAScriptErrorThatPcallCannotSwallow) {
  for (const char* code : {"local n = 0\nwhile true do n = n + 1 end\n", "while true do end\n",
                           "for i = 1, 1e9 do pcall(function() while true do end end) end\n"}) {
    SCOPED_TRACE(code);
    const std::string error = runScript(code, timeoutUnit(std::chrono::microseconds(100)));
    EXPECT_EQ(error.rfind("ScriptControl error: Script ran longer than its time limit of 1800 seconds L:", 0),
              0u)
        << error;
  }
  // A run that ends first is not stopped, and returns without waiting for the limit.
  EXPECT_EQ(runScript("for i = 1, 100000 do end\n", timeoutUnit(std::chrono::seconds(1))), "");
}

TEST(ScriptHost, TwoCallsShareNoLibraryTable) {
  EXPECT_EQ(runScript("string.leaked = true\n"), "");
  EXPECT_EQ(runScript("assert(string.leaked == nil)\n"), "");
}

}  // namespace
}  // namespace kn
