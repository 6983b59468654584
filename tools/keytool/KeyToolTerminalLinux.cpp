// The terminal's echo through termios.
#include <termios.h>
#include <unistd.h>

#include "KeyToolTerminal.h"

namespace kn {
namespace {

// While it lives, a terminal on standard input does not echo what is typed.
class HiddenInput {
 public:
  HiddenInput() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~HiddenInput() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

}  // namespace

int withInputEchoOff(const std::function<int(bool terminal)>& body) {
  if (!::isatty(STDIN_FILENO)) return body(false);
  HiddenInput hidden;
  return body(true);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace kn
