// Test helpers: a temporary folder removed afterwards, environment variables restored, whole files
// read and written. Every area's tests use these (the folder is on each test's include path).
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

namespace kn::test {

// A fresh folder below the system's temporary folder ("<prefix>.XXXXXXXX"), removed with
// everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kntest") {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[16];
      std::snprintf(name, sizeof name, ".%08x", static_cast<unsigned>(random()));
      std::filesystem::path candidate = base / (prefix + name);
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, ec);
        path_ = candidate.generic_string();
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary folder below " + base.string());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, without a trailing "/".
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with nullopt unsets) one environment variable for the scope, then restores it.
// Changing TZ re-reads the time zone both ways.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) old_ = old;
    set(name_, value);
  }
  ~ScopedEnv() { set(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  static void set(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value ? value->c_str() : "");
    if (name == "TZ") ::_tzset();
#else
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
    if (name == "TZ") ::tzset();
#endif
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace kn::test
