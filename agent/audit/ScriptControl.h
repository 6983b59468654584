// The script control: the one facility that runs an inventory script text inside the agent's process.
//
// The audit engine drives it through this small interface so that the script host can be exercised
// without any particular script engine. On Linux the control is Lua 5.4 (ScriptControlLinux.cpp): a
// fresh interpreter per control, the text loaded and run as one chunk, nothing added to the script's
// globals beyond Lua's standard libraries. On Windows it is the system's MSScriptControl.ScriptControl
// running VBScript, through COM (ScriptControlWin.cpp): a fresh control per createScriptControl, on a
// thread that has entered a single-threaded COM apartment. Tests use a fake that records what it was
// asked to do.
//
// Life of a control: created, configured (AllowUI, Timeout, Language, error handler), given the whole
// text once with addCode, asked for the error record only after addCode failed, released. A control
// belongs to the thread that created it and is never shared or reused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "KNException.h"

namespace kn {

// Raised by a control when the text fails (syntax error, untrapped run-time error, overrun); the
// message is the control's description of the failure, without its position.
KN_DECLARE_EXCEPTION(EScriptControl, Exception);

class ScriptControl {
 public:
  virtual ~ScriptControl() = default;

  // The control may show user interface of its own. The Lua control has none and only records it.
  virtual void setAllowUI(bool allow) = 0;
  // The longest a text may run, in the agent's unit (createScriptControl's `timeoutUnit`). The Lua
  // control counts seconds: a run longer than that ends with a script error saying so (1800 gives the
  // agent's 30-minute limit). The Windows control leaves the limit to the audit supervisor.
  virtual void setTimeout(long timeout) = 0;
  // The language of the text; the Lua control accepts "lua" only, the Windows control the languages
  // the system's control knows ("vbscript"); either throws EScriptControl otherwise.
  virtual void setLanguage(const std::string& language) = 0;
  // Called once, on the thread running addCode, when the text fails; before addCode throws.
  virtual void setErrorHandler(std::function<void()> onError) = 0;

  // Runs the text's global code top to bottom. Returns when it ran to its end; throws EScriptControl
  // with the description of the failure otherwise.
  virtual void addCode(const std::string& code) = 0;

  // The line of the text (1-based) at which the last failure was raised; nothing when the control
  // has no such record. Meaningful only after addCode failed.
  virtual std::optional<int> errorLine() = 0;

  // Frees the engine and everything the text left behind. May throw; callers ignore that.
  virtual void release() = 0;
};

// ---- What every system's control shares (ScriptControl.cpp) ------------------------------------------

// The description of a run that passed its Timeout of `timeout` seconds.
std::string scriptOverrunMessage(long timeout);
// Throws EScriptControl "Language '<language>' is not supported" unless it is `supported`.
void checkScriptLanguage(const std::string& language, const std::string& supported);
// Thrown by addCode on a control that has been released.
inline constexpr const char* kScriptReleasedMessage = "The script control has been released";

// Waits beside a run for its time limit on a thread of its own and, once the limit has passed,
// calls `onOverrun` there (a control then stops its engine, from that thread). Ends with the run:
// the destructor wakes and joins the thread, and a limit of zero or less starts none.
class ScriptDeadline {
 public:
  ScriptDeadline(std::chrono::steady_clock::duration limit, std::function<void()> onOverrun);
  ~ScriptDeadline();
  ScriptDeadline(const ScriptDeadline&) = delete;
  ScriptDeadline& operator=(const ScriptDeadline&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

// A new control of this system whose Timeout counts units of `timeoutUnit` (seconds for the agent;
// tests of the Lua control pass a fraction of a millisecond, so that a limit of 1800 passes in well
// under a second). Throws EScriptControl when the control cannot be made (on Windows: COM not
// initialised on this thread, a multithreaded apartment, the class not registered).
std::unique_ptr<ScriptControl> createScriptControl(
    std::chrono::steady_clock::duration timeoutUnit = std::chrono::seconds(1));

// The stored script's bytes, text in the system's ANSI code page, as UTF-8: on Windows the script is
// Windows-1252 text (in the 8-bit code page of the system); on Linux that code page is UTF-8 and the
// bytes stay as they are.
std::string scriptBytesToUtf8(std::string_view bytes);

}  // namespace kn
