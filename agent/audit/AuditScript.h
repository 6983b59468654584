// The embedded inventory script: from its stored form in the executable to the text the script host
// runs.
//
// Stored form: the resource "ITAUDITDIC_META", the script's bytes as base64 text (one line and CR LF,
// as the build writes it). Prepared form: the line outfilename="<result file>" followed by the
// script's lines, every line ending in CR LF, so that the script host counts the inserted line as 1.
// The file name is written as a literal of the script's language (scriptQuoted).
#pragma once

#include <string>
#include <string_view>

namespace kn {

// The string literal, in double quotes, whose value is `text`, in each script language. A plain path
// comes out as it is, between the quotes; what could end the literal or the line is escaped so that
// the value the script sees is exactly `text` and nothing after it can become code. Lua: backslashes,
// quotes and control characters escaped. VBScript: a quote doubled, a control character joined in as
// Chr(n) (no Windows path holds either).
std::string luaQuoted(std::string_view text);
std::string vbscriptQuoted(std::string_view text);
// The literal in the language of this system's control (kScriptLanguage).
std::string scriptQuoted(std::string_view text);

// The prepared form of `storedScript` (the stored base64 text) for `scriptResultFile`: characters
// outside the base64 alphabet are skipped, the decoded bytes are read as text in the system's ANSI
// code page and given as UTF-8 (scriptBytesToUtf8), then split at CR LF, CR or LF. Never fails.
std::string prepareAuditScript(std::string_view storedScript, const std::string& scriptResultFile);

// The prepared form of the embedded script, the resource "ITAUDITDIC_META". Throws kn::Exception
// "Resource ITAUDITDIC_META not found" when the executable carries no script.
std::string prepareAuditScript(const std::string& scriptResultFile);

}  // namespace kn
