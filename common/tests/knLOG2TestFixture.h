// The log's tests: a fresh log folder in a temporary folder for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "KNLib.h"
#include "KNTestTempDir.h"
#include "knLOG2.h"

namespace kn::test {

class KnLog2Test : public ::testing::Test {
 protected:
  void SetUp() override { resetLog(); }
  void TearDown() override { resetLog(); }

  std::string logs(const std::string& name) const { return dir_.path() + "/logs/" + name; }
  std::string today() const {
    DateTimeParts p = decodeDateTimeParts(nowDateTime());
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", p.year, p.month, p.day);
    return buf;
  }

  test::TempDir dir_;
};

}  // namespace kn::test
