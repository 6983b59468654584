// The script host: runs one inventory script text through a fresh script control and turns any failure
// into one error of a fixed shape. It knows nothing of the inventory itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ScriptControl.h"

namespace kn {

// Receives the host's progress lines, one call per line.
using ScriptTrace = std::function<void(const std::string& line)>;
// Makes the control for one run; its exceptions leave executeScript unchanged.
using ScriptControlFactory = std::function<std::unique_ptr<ScriptControl>()>;

// The language the agent's scripts are written in: the one this system's control runs.
#ifdef _WIN32
inline constexpr const char* kScriptLanguage = "vbscript";
#else
inline constexpr const char* kScriptLanguage = "lua";
#endif
// The control's Timeout, in the agent's unit (seconds): 30 minutes. The Lua control fails a longer
// run itself; on Windows the audit supervisor ends it (ScriptControlWin.cpp says why).
inline constexpr long kScriptTimeout = 1800;

// Runs `code` to its end on the calling thread; `resultFile` only appears in trace lines.
// Trace lines, in order: "Instantiating TScriptControl...", "ScriptControl instantiated",
// "Executing script... (tmpfile=<resultFile>)", then "Parsing script OK" and
// "Script execution ended to <resultFile>" on success; on failure "SCRIPT ERROR DETECTED" (from the
// control's error event) and "script Exception <description>", then kn::Exception is thrown with
// "ScriptControl error: <description> L:<line>" (" L:???" when the control has no error record).
// The control is released on both paths, before the error leaves; a failing release is ignored.
// `trace` defaults to the "TWMIAuditor" log, `create` to createScriptControl().
void executeScript(const std::string& code, const std::string& resultFile, const ScriptTrace& trace = {},
                   const ScriptControlFactory& create = {});

}  // namespace kn
