// Fuzzes the package unpacker: the fuzzer's bytes are the package, unpacked into a folder of a
// temporary tree that also holds an old file inside the folder and a file beside the folder.
// Aborts when anything is written outside the folder, when a failed unpack changed the folder, or
// when a temporary file is left behind.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "KNException.h"
#include "PackageUnpack.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const fs::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

// Every entry below `root` (not following links) with its content, "<dir>" or "<link>".
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> all;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const auto& e = *it;
    std::string key = fs::relative(e.path(), root).string();
    if (e.is_symlink())
      all[key] = "<link>";
    else if (e.is_directory())
      all[key] = "<dir>";
    else
      all[key] = slurp(e.path());
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path tree = kn::fuzz::scratchFolder();
  const fs::path folder = tree / "app";
  const fs::path zip = tree / "p.zip";
  fs::remove_all(folder);
  fs::create_directory(folder);
  spit(folder / "app", "old app");
  spit(tree / "outside", "outside");
  spit(zip, std::string(reinterpret_cast<const char*>(data), size));

  auto outsideBefore = snapshot(tree);
  for (auto it = outsideBefore.begin(); it != outsideBefore.end();)
    it = it->first.rfind("app", 0) == 0 ? outsideBefore.erase(it) : std::next(it);
  auto folderBefore = snapshot(folder);

  bool ok = true;
  try {
    // A small limit keeps a run quick; the limit's own check is part of what is fuzzed.
    kn::unpackPackage(zip.string(), folder.string() + "/", kn::kPackagePassword,
                      {.maxUnpacked = 1 << 20, .maxEntries = 1000});
  } catch (const kn::Exception&) {
    ok = false;
  }

  auto outsideAfter = snapshot(tree);
  for (auto it = outsideAfter.begin(); it != outsideAfter.end();)
    it = it->first.rfind("app", 0) == 0 ? outsideAfter.erase(it) : std::next(it);
  if (outsideAfter != outsideBefore) std::abort();  // written outside the folder
  auto folderAfter = snapshot(folder);
  if (!ok && folderAfter != folderBefore) std::abort();  // a failure changed the folder
  for (const auto& [name, content] : folderAfter) {
    if (kn::isUnpackTempName(name)) std::abort();                 // a temporary file left behind
    if (content == "<dir>" || content == "<link>") std::abort();  // only regular files are made
  }
  return 0;
}
