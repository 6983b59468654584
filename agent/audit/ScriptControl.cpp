// What every system's script control shares; see ScriptControl.h.
#include "ScriptControl.h"

namespace kn {

std::string scriptOverrunMessage(long timeout) {
  return "Script ran longer than its time limit of " + std::to_string(timeout) + " seconds";
}

void checkScriptLanguage(const std::string& language, const std::string& supported) {
  if (language != supported) throw EScriptControl("Language '" + language + "' is not supported");
}

ScriptDeadline::ScriptDeadline(std::chrono::steady_clock::duration limit, std::function<void()> onOverrun) {
  if (limit.count() <= 0) return;
  thread_ = std::thread(
      [this, onOverrun = std::move(onOverrun), deadline = std::chrono::steady_clock::now() + limit] {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, deadline, [this] { return done_; })) return;
        onOverrun();
      });
}

ScriptDeadline::~ScriptDeadline() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

}  // namespace kn
