// kn-apikey: stores, shows and clears the agent's API key.
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "KeyTool.h"

namespace {

// While it lives, a terminal on standard input does not echo what is typed, so a key typed at
// the prompt never shows on the screen.
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

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (::isatty(STDIN_FILENO)) {
    HiddenInput hidden;
    return kn::runKeyTool(args, std::cin, std::cout, std::cerr, true);
  }
  return kn::runKeyTool(args, std::cin, std::cout, std::cerr);
}
