// kn-apikey: provisions the agent's API key on a machine.
//
// The agent reads its key from the group policy value first, then from the stored, enciphered value
// in the HKLM hive. Linux has no group policy, so administrators store the key with this tool.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kn {

// Exit codes, for scripts.
enum KeyToolExit : int {
  kKeyToolOK = 0,      // done; for "status": a key is stored
  kKeyToolNoKey = 1,   // "status" only: no key is stored
  kKeyToolUsage = 2,   // the command line was wrong
  kKeyToolFailed = 3,  // the hive could not be read or written
};

// Runs the tool with `args` (without the program name). `in` supplies the key for "set -".
int runKeyTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace kn
