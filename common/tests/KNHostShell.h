// The host's tools for tests (openssl, zip, the reference server, a Python fake): on Linux the
// system's shell; under Wine the host's /bin/sh through "start /unix", with Windows paths turned
// into the host's own (KNHostShellLinux.cpp, KNHostShellWin.cpp). Real Windows has no host shell.
#pragma once

#include <string>

namespace kn::test {

// `path` as the host's shell sees it (under Wine the host's path of a Windows one).
std::string hostPath(const std::string& path);
// Runs a command line in the host's shell (under Wine the host's /bin/sh); its exit status, or -1
// when it could not be run.
int hostShell(const std::string& command);

}  // namespace kn::test
