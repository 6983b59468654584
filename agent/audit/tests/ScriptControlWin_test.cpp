// The Windows script control for real (MSScriptControl.ScriptControl running VBScript, under Wine in
// the build): what only this control has. The host's own cases run against it in ScriptHost_test.
#include <objbase.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "AuditScript.h"
#include "KNPath.h"
#include "ScriptHost.h"
#include "TempRoot.h"

namespace kn {
namespace {

struct ScriptRun {
  std::vector<std::string> trace;
  std::string error;  // empty when the run succeeded
};

ScriptRun runScript(const std::string& code) {
  ScriptRun run;
  try {
    executeScript(code, "r.xml", [&](const std::string& line) { run.trace.push_back(line); });
  } catch (const std::exception& e) {
    run.error = e.what();
  }
  return run;
}

const std::vector<std::string> kCleanTrace = {"Instantiating TScriptControl...", "ScriptControl instantiated",
                                              "Executing script... (tmpfile=r.xml)", "Parsing script OK",
                                              "Script execution ended to r.xml"};

// The control belongs to a single-threaded apartment; elsewhere creation fails with a clear error,
// which leaves executeScript as it is, and nothing runs.
TEST(ScriptControlWin, CreationNeedsASingleThreadedApartment) {
  struct Case {
    const char* name;
    bool com;
    DWORD apartment;
    const char* says;
  };
  const Case cases[] = {
      {"no COM on the thread", false, 0, "COM is not initialised on this thread"},
      {"multithreaded apartment", true, COINIT_MULTITHREADED, "not in a single-threaded COM apartment"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> trace;
    std::string error;
    bool scriptControlError = false;
    std::thread([&] {
      const bool com = c.com && SUCCEEDED(::CoInitializeEx(nullptr, c.apartment));
      try {
        executeScript("x = 1", "r.xml", [&](const std::string& line) { trace.push_back(line); });
      } catch (const EScriptControl& e) {
        scriptControlError = true;
        error = e.what();
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (com) ::CoUninitialize();
    }).join();
    EXPECT_TRUE(scriptControlError) << error;
    EXPECT_EQ(error.rfind("Cannot create the script control MSScriptControl.ScriptControl: ", 0), 0u)
        << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(trace, std::vector<std::string>{"Instantiating TScriptControl..."});
  }
}

// UTF-8 in the agent, UTF-16 in the control: the text's characters and the error's description
// cross the seam whole.
TEST(ScriptControlWin, TextAndDescriptionCrossTheSeamAsUtf8) {
  test::TempRoot root;
  const std::string file = root / "unicode.txt";
  const std::string code =
      "s = \"caf\xc3\xa9 \xe2\x82\xac\"\n"
      "If Len(s) <> 6 Then Err.Raise vbObjectError + 1, \"test\", \"length \" & Len(s)\n"
      "Set f = CreateObject(\"Scripting.FileSystemObject\").CreateTextFile(" +
      vbscriptQuoted(file) + ", True, True): f.Write s: f.Close\n";
  ScriptRun run = runScript(code);
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(test::readBytes(file), std::string("\xff\xfe"
                                               "c\0a\0f\0\xe9\0 \0\xac\x20",
                                               14));

  run = runScript(
      "x = 1\nErr.Raise vbObjectError + 1, \"test\", \"\xc3\xa9"
      "chec \xe2\x82\xac\"\n");
  EXPECT_EQ(run.error,
            "ScriptControl error: \xc3\xa9"
            "chec \xe2\x82\xac L:2");
}

// Errors inside the text's own "on error resume next" regions never reach the host; the error event
// comes once per failure, before the exception.
TEST(ScriptControlWin, OnlyUntrappedErrorsFailTheRun) {
  EXPECT_EQ(runScript("On Error Resume Next\nwscript.echo 1\nx = 1 / 0\nSet o = GetObject(\"nothing:\")\n"
                      "On Error GoTo 0\ny = 2\n")
                .trace,
            kCleanTrace);

  ScriptRun run =
      runScript("Sub Inner()\n  x = CInt(\"x\")\nEnd Sub\nOn Error Resume Next\nOn Error GoTo 0\nInner\n");
  EXPECT_EQ(run.error, "ScriptControl error: Type mismatch L:2");
  ASSERT_EQ(run.trace.size(), 5u);
  EXPECT_EQ(run.trace[3], "SCRIPT ERROR DETECTED");
  EXPECT_EQ(run.trace[4], "script Exception Type mismatch");
}

// The inventory's size in one AddCode call: every line before the failing last one has run, and the
// line is counted across the whole text.
TEST(ScriptControlWin, AWholeInventorySizedTextInOneCall) {
  std::string code;
  for (int i = 1; i < 6000; ++i)
    code += "n = n + 1 ' a comment that makes the line as long as an inventory line\r\n";
  code += "Err.Raise vbObjectError + 1, \"test\", \"counted \" & n\r\n";
  EXPECT_EQ(runScript(code).error, "ScriptControl error: counted 5999 L:6000");
}

// What the inventory script reaches through the control: WMI by moniker, the file system object.
TEST(ScriptControlWin, TheTextReachesWmiAndTheFileSystem) {
  test::TempRoot root;
  const std::string file = root / "os.txt";
  const std::string code =
      "Set wmi = GetObject(\"winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2\")\n"
      "For Each os In wmi.ExecQuery(\"Select * from Win32_OperatingSystem\"): n = n + 1: caption = "
      "os.Caption: Next\n"
      "If n <> 1 Then Err.Raise vbObjectError + 1, \"test\", n & \" operating systems\"\n"
      "Set f = CreateObject(\"Scripting.FileSystemObject\").CreateTextFile(" +
      vbscriptQuoted(file) + ", True): f.Write caption: f.Close\n";
  EXPECT_EQ(runScript(code).error, "");
  EXPECT_FALSE(test::readBytes(file).empty());
}

}  // namespace
}  // namespace kn
