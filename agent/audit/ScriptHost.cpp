#include "ScriptHost.h"

#include "knLOG2.h"

namespace kn {
namespace {

// Releases the control when the run ends, however it ends; a release failure changes nothing.
class ReleaseOnExit {
 public:
  explicit ReleaseOnExit(ScriptControl& control) : control_(control) {}
  ~ReleaseOnExit() {
    try {
      control_.release();
    } catch (...) {
    }
  }
  ReleaseOnExit(const ReleaseOnExit&) = delete;
  ReleaseOnExit& operator=(const ReleaseOnExit&) = delete;

 private:
  ScriptControl& control_;
};

}  // namespace

void executeScript(const std::string& code, const std::string& resultFile, const ScriptTrace& traceTo,
                   const ScriptControlFactory& create) {
  const ScriptTrace trace = traceTo ? traceTo : [](const std::string& line) { logTo("TWMIAuditor", line); };

  trace("Instantiating TScriptControl...");
  std::unique_ptr<ScriptControl> control = create ? create() : createScriptControl();
  if (!control) throw Exception("The script control could not be created");
  trace("ScriptControl instantiated");
  ReleaseOnExit releaser(*control);

  control->setAllowUI(true);
  control->setTimeout(kScriptTimeout);
  control->setLanguage(kScriptLanguage);
  control->setErrorHandler([&trace] { trace("SCRIPT ERROR DETECTED"); });

  trace("Executing script... (tmpfile=" + resultFile + ")");
  try {
    control->addCode(code);
  } catch (const std::exception& e) {
    const std::string message = e.what();
    trace("script Exception " + message);
    std::optional<int> line;
    try {
      line = control->errorLine();
    } catch (...) {
    }
    throw Exception("ScriptControl error: " + message + " L:" + (line ? std::to_string(*line) : "???"));
  }
  trace("Parsing script OK");
  trace("Script execution ended to " + resultFile);
}

}  // namespace kn
