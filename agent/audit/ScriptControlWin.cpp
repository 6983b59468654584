// stub: the script control
#include "ScriptControl.h"
namespace kn {
std::unique_ptr<ScriptControl> createScriptControl(std::chrono::steady_clock::duration) {
  throw EScriptControl("not built yet");
}
}  // namespace kn
