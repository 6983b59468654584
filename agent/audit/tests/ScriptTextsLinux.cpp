// The tests' script texts in Lua; see ScriptTexts.h.
#include "AuditScript.h"
#include "ScriptTexts.h"

namespace kn::test {

const char* const kInventorySource = "inventory.lua";

std::string bytesLiteral(std::string_view bytes) { return luaQuoted(bytes); }

std::string writeFileLine(const std::string& file, const std::string& content) {
  return "local f = assert(io.open(" + file + ", \"wb\")) f:write(" + content + ") f:close()";
}

std::string failLine(const std::string& message) { return "error(" + luaQuoted(message) + ")"; }

std::string failIfExistsLine(const std::string& file, const std::string& message) {
  return "if io.open(" + file + ") then " + failLine(message) + " end";
}

std::string failIfSetLine(const std::string& name, const std::string& message) {
  return "if " + name + " ~= nil then " + failLine(message) + " end";
}

std::string procedureLines(const std::string& name, const std::string& body) {
  return "local function " + name + "()\n  " + body + "\nend";
}

std::vector<ScriptErrorCase> scriptErrorCases() {
  return {
      {"syntax error on line 3", "a = 1\nb = 2\nc = = 3\nd = 4\n", 3, "unexpected symbol"},
      {"the host provides no wscript", "a = 1\nb = 2\nc = 3\nd = 4\nwscript.echo('hi')\n", 5, "wscript"},
      {"error() inside a procedure", "local function f()\n\n  error('broken')\nend\nf()\n", 3, "broken"},
      {"error from a library call", "a = 1\nlocal n = ('x'):rep(-1, {})\n", 2, ""},
      {"error with a table value", "\nerror({})\n", 2, "(error object is a table value)"},
      {"os.exit does not end the agent", "a = 1\nos.exit(3)\n", 2, "os.exit"},
      {"error at the very end, CR LF lines", "a = 1\r\nb = 2\r\nerror('last')\r\n", 3, "last"},
  };
}

}  // namespace kn::test
