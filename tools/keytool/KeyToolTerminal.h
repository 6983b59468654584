// The terminal kn-apikey may be typed at: a key typed at the prompt must never show on the screen.
// The platform half is KeyToolTerminalLinux.cpp.
#pragma once

#include <functional>

namespace kn {

// Runs `body` and returns what it returns. When standard input is a terminal, its echo is off
// while `body` runs (and on again afterwards) and `body` is told so with `true`.
int withInputEchoOff(const std::function<int(bool terminal)>& body);

}  // namespace kn
