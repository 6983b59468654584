// A program file that reports a given version, as kn::fileVersion reads it: on Linux a tiny ELF
// file with a package note; on Windows one of the small programs the build makes with that
// "FileVersion" in their version resource (the versions the tests use, 1.9 and 2.0).
#pragma once

#include <string>

#ifdef _WIN32
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kn::test {

inline std::string programWithVersion(const std::string& version) {
  std::ifstream in(std::string(KN_VERSIONED_PROGRAMS) + "/app-" + version + ".exe", std::ios::binary);
  if (!in) throw std::runtime_error("no test program of version " + version + " was built");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace kn::test
#else
#include "KNTinyElf.h"
#endif
