// Script texts for the tests, in the language of this system's script control: Lua on Linux
// (ScriptTextsLinux.cpp), VBScript with Scripting.FileSystemObject on Windows (ScriptTextsWin.cpp).
// Each ...Line function gives one line without its line end, so that a test knows the line numbers of
// the text it joins ("\n" between lines). Arguments named `file` and `content` are expressions of the
// language: a literal (scriptQuoted, bytesLiteral) or a variable such as "outfilename".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kn::test {

// The file name of the readable inventory script in resources/ that this system embeds.
extern const char* const kInventorySource;

// A literal whose value, written by writeFileLine, gives exactly `bytes` in the file.
std::string bytesLiteral(std::string_view bytes);

// Writes `content` to `file`, replacing it.
std::string writeFileLine(const std::string& file, const std::string& content);
// Fails the run with an untrapped error whose description is `message`.
std::string failLine(const std::string& message);
// Fails with `message` when `file` exists.
std::string failIfExistsLine(const std::string& file, const std::string& message);
// Fails with `message` when the global variable `name` holds a value (a fresh run has none).
std::string failIfSetLine(const std::string& name, const std::string& message);
// Three lines defining the procedure `name` whose body is the line `body`.
std::string procedureLines(const std::string& name, const std::string& body);

// A text that fails, the line its error must name and a part of the description ("" for any).
struct ScriptErrorCase {
  std::string name, code;
  int line;
  std::string description;
};
std::vector<ScriptErrorCase> scriptErrorCases();

}  // namespace kn::test
