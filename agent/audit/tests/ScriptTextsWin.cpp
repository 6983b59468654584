// The tests' script texts in VBScript; see ScriptTexts.h. Also puts the tests' main thread into a
// single-threaded COM apartment, as the audit child does before its audit: the script control needs one.
#include <objbase.h>

#include <gtest/gtest.h>

#include "AuditScript.h"
#include "ScriptTexts.h"

namespace kn::test {
namespace {

class ComApartment : public ::testing::Environment {
 public:
  void SetUp() override { initialised_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
  void TearDown() override {
    if (initialised_) ::CoUninitialize();
  }

 private:
  bool initialised_ = false;
};

[[maybe_unused]] ::testing::Environment* const kComApartment =
    ::testing::AddGlobalTestEnvironment(new ComApartment);

std::string raise(const std::string& message) {
  return "Err.Raise vbObjectError + 1, \"test\", " + vbscriptQuoted(message);
}

}  // namespace

const char* const kInventorySource = "inventory.vbs";

// Printable ASCII between quotes, every other byte as Chr(n): the file system object writes text in
// the ANSI code page (Windows-1252 here, under Wine and on Western systems), where Chr(n) is byte n.
std::string bytesLiteral(std::string_view bytes) {
  std::string out;
  bool open = false;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) {
      if (!open) out += out.empty() ? "\"" : " & \"";
      open = true;
      out += c == '"' ? std::string("\"\"") : std::string(1, c);
      continue;
    }
    if (open) out += '"';
    open = false;
    out += (out.empty() ? "Chr(" : " & Chr(") + std::to_string(u) + ")";
  }
  if (open) out += '"';
  return out.empty() ? "\"\"" : out;
}

std::string writeFileLine(const std::string& file, const std::string& content) {
  return "Set f = CreateObject(\"Scripting.FileSystemObject\").CreateTextFile(" + file + ", True): f.Write " +
         content + ": f.Close";
}

std::string failLine(const std::string& message) { return raise(message); }

std::string failIfExistsLine(const std::string& file, const std::string& message) {
  return "If CreateObject(\"Scripting.FileSystemObject\").FileExists(" + file + ") Then " + raise(message);
}

std::string failIfSetLine(const std::string& name, const std::string& message) {
  return "If Not IsEmpty(" + name + ") Then " + raise(message);
}

std::string procedureLines(const std::string& name, const std::string& body) {
  return "Sub " + name + "()\n  " + body + "\nEnd Sub";
}

// Wine's control gives no description for a syntax error or a missing object, so those cases check
// the line only.
std::vector<ScriptErrorCase> scriptErrorCases() {
  return {
      {"syntax error on line 3", "a = 1\nb = 2\nc = = 3\nd = 4\n", 3, ""},
      {"the host provides no wscript", "a = 1\nb = 2\nc = 3\nd = 4\nwscript.echo(\"hi\")\n", 5, ""},
      {"Err.Raise inside a procedure", "Sub F()\n\n  " + raise("broken") + "\nEnd Sub\nF\n", 3, "broken"},
      {"error from a built-in function", "a = 1\nn = CInt(\"x\")\n", 2, "Type mismatch"},
      {"error after a region that ignored errors",
       "On Error Resume Next\nx = 1 / 0\nOn Error GoTo 0\ny = CInt(\"x\")\n", 4, "Type mismatch"},
      {"WScript.Quit does not end the agent", "a = 1\nWScript.Quit 3\n", 2, ""},
      {"error at the very end, CR LF lines", "a = 1\r\nb = 2\r\n" + raise("last") + "\r\n", 3, "last"},
  };
}

}  // namespace kn::test
