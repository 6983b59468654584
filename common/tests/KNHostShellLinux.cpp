// The tests' own shell commands run in the system's shell.
#include <cstdlib>

#include "KNHostShell.h"

namespace kn::test {

std::string hostPath(const std::string& path) { return path; }

int hostShell(const std::string& command) { return std::system(command.c_str()); }

}  // namespace kn::test
