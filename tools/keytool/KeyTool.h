// kn-apikey: provisions the agent's API key on a machine.
//
// The agent reads its key from the group policy value first, then from the stored, enciphered value
// in HKLM (the registry on Windows, the hive file on Linux). Linux has no group policy, and a Windows
// machine outside a domain has none either, so administrators store the key with this tool.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace kn {

// Exit codes, for scripts.
enum KeyToolExit : int {
  kKeyToolOK = 0,      // done; for "status": a key is stored
  kKeyToolNoKey = 1,   // "status" only: no key is stored
  kKeyToolUsage = 2,   // the command line was wrong
  kKeyToolFailed = 3,  // the hive could not be read or written, or the stored key is unreadable
};

// Runs the tool with `args` (without the program name). "set" takes the key from the first line of
// `in` (also written "set -"), or of the regular file named by "--file"; a key given on the
// command line is still taken but draws a warning on `err`, because every local user can read a
// command line (ps) and the shell keeps it in its history. With `prompt`, the tool asks for the
// key on `err` before it reads `in` (main() passes it for a terminal, whose echo it turns off).
int runKeyTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
               bool prompt = false);

}  // namespace kn
