// The embedded inventory script: from its stored form in the executable to the text the script host
// runs.
//
// Stored form: the resource "ITAUDITDIC_META", the script's bytes as base64 text (one line and CR LF,
// as the build writes it). Prepared form: the line outfilename="<result file>" followed by the
// script's lines, every line ending in CR LF, so that the script host counts the inserted line as 1.
#pragma once

#include <string>
#include <string_view>

namespace kn {

// The Lua string literal, in double quotes, whose value is `text`. A plain path comes out as it is,
// between the quotes; backslashes, quotes and control characters are escaped so that the value the
// script sees is exactly `text` and nothing after it can become code.
std::string luaQuoted(std::string_view text);

// The prepared form of `storedScript` (the stored base64 text) for `scriptResultFile`: characters
// outside the base64 alphabet are skipped, the decoded text is split at CR LF, CR or LF. Never fails.
std::string prepareAuditScript(std::string_view storedScript, const std::string& scriptResultFile);

// The prepared form of the embedded script, the resource "ITAUDITDIC_META". Throws kn::Exception
// "Resource ITAUDITDIC_META not found" when the executable carries no script.
std::string prepareAuditScript(const std::string& scriptResultFile);

}  // namespace kn
