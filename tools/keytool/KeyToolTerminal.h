// The terminal kn-apikey may be typed at: a key typed at the prompt must never show on the screen.
// The platform halves are KeyToolTerminalLinux.cpp and KeyToolTerminalWin.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kn {

// Runs `body` and returns what it returns. When standard input is a terminal, its echo is off
// while `body` runs (and on again afterwards) and `body` is told so with `true`.
int withInputEchoOff(const std::function<int(bool terminal)>& body);

// The program's arguments after its name, as UTF-8 (Windows gives main() its 8-bit code page's
// text, which cannot name every file: the wide command line is read there instead).
std::vector<std::string> commandLineArguments(int argc, char** argv);

}  // namespace kn
