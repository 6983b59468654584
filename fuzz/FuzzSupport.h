// Small helpers shared by the fuzz targets: a private scratch folder and a way to hand the fuzzer's
// bytes to functions that read files, as the programs do.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace kn::fuzz {

// A folder of this process's own below $TMPDIR (or /tmp), made on first use and removed at exit.
// libFuzzer runs one input at a time per process, so targets may reuse fixed names inside it.
inline const std::string& scratchFolder() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kn-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    static const std::string kept = pattern;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(kept, ec);
    });
    return pattern;
  }();
  return folder;
}

// Writes `bytes` to `name` in the scratch folder, replacing it; returns its path.
inline std::string writeScratchFile(const std::string& name, std::string_view bytes) {
  std::string path = scratchFolder() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::abort();
  return path;
}

inline std::string_view asText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Stops the run with a message when an invariant of the code under test does not hold.
#define KN_FUZZ_CHECK(cond)                                                         \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

}  // namespace kn::fuzz
