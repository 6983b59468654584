#include "KNAtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "KNException.h"

namespace kn {
namespace fs = std::filesystem;

TEST(AtomicFile, ReplacesWholeFileWithMode) {
  fs::path dir = fs::temp_directory_path() / ("kn_atomic_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string file = (dir / "data.json").string();
  std::ofstream(file) << "old content that is longer";
  writeFileAtomic(file, "new", 0640);
  std::stringstream got;
  got << std::ifstream(file).rdbuf();
  EXPECT_EQ(got.str(), "new");
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temp left

  // A folder that does not exist: a clear error, nothing created.
  try {
    writeFileAtomic((dir / "missing" / "x").string(), "data");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
  }
  fs::remove_all(dir);
}

}  // namespace kn
