// The console's echo through its input mode.
#include <windows.h>
#include <shellapi.h>

#include "KNWinText.h"
#include "KeyToolTerminal.h"

namespace kn {
namespace {

// While it lives, the console on standard input does not echo what is typed.
class HiddenInput {
 public:
  explicit HiddenInput(HANDLE input) : input_(input) {
    if (!::GetConsoleMode(input_, &saved_)) return;
    active_ = ::SetConsoleMode(input_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
  }
  ~HiddenInput() {
    if (active_) ::SetConsoleMode(input_, saved_);
  }
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  HANDLE input_;
  DWORD saved_ = 0;
  bool active_ = false;
};

}  // namespace

int withInputEchoOff(const std::function<int(bool terminal)>& body) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input == INVALID_HANDLE_VALUE || !input || !::GetConsoleMode(input, &mode)) return body(false);
  HiddenInput hidden(input);
  return body(true);
}

std::vector<std::string> commandLineArguments(int, char**) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide && i < count; ++i) args.push_back(win::narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

}  // namespace kn
