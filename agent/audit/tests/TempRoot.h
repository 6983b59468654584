// The audit tests' temporary folder: kn::test::TempDir, and a fixture tree built in it file by file.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "KNTestTempDir.h"

// The build passes the absolute paths of the tests' data; the source tree's own paths stand in where
// a test is only compiled.
#ifndef KN_AUDIT_SOURCE
#define KN_AUDIT_SOURCE "agent/audit"
#endif
#ifndef KN_AUDIT_RESOURCES
#define KN_AUDIT_RESOURCES KN_AUDIT_SOURCE "/resources"
#endif
#ifndef KN_AUDIT_FIXTURES
#define KN_AUDIT_FIXTURES KN_AUDIT_SOURCE "/tests/fixtures"
#endif

namespace kn::test {

class TempRoot : public TempDir {
 public:
  // Writes `content` to `relative` below the folder, making its folders.
  void write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path file = *this / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
};

}  // namespace kn::test
