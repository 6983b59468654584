// Test helper: makes LC_NUMERIC a locale whose decimal separator is "," for the scope, so code
// that must not depend on the locale (or must follow it) meets one even on a machine with no
// generated locales. The locale is compiled from a few lines with localedef into a temporary
// folder that LOCPATH points to; available() is false when that cannot be done.
#pragma once

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

#include "KNTestTempDir.h"

namespace kn::test {

class DecimalCommaLocale {
 public:
  DecimalCommaLocale() : locPath_("LOCPATH", dir_.path()) {
    writeBytes(dir_ / "comma.src",
               "LC_NUMERIC\n"
               "decimal_point \"<U002C>\"\n"
               "thousands_sep \"<U002E>\"\n"
               "grouping 3;3\n"
               "END LC_NUMERIC\n");
    std::string command =
        "localedef -c -i '" + (dir_ / "comma.src") + "' '" + (dir_ / "kn_COMMA") + "' >/dev/null 2>&1";
    // localedef exits with 1 for the warnings about the categories left out; setlocale tells.
    int status = std::system(command.c_str());
    (void)status;
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    previous_ = old ? old : "C";
    available_ = std::setlocale(LC_NUMERIC, "kn_COMMA") != nullptr;
    if (!available_) std::setlocale(LC_NUMERIC, previous_.c_str());
  }
  ~DecimalCommaLocale() {
    if (available_) std::setlocale(LC_NUMERIC, previous_.c_str());
  }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool available() const { return available_; }

 private:
  TempDir dir_;
  ScopedEnv locPath_;
  std::string previous_;
  bool available_ = false;
};

}  // namespace kn::test
