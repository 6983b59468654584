#include "KNVersion.h"

#include "KNTestTempDir.h"
#include "KNTinyElf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kn {
namespace {

using test::TinyElf;

class KNVersionTest : public ::testing::Test {
 protected:
  std::string versionOf(const std::string& bytes) {
    test::writeBytes(dir_ / "file", bytes);
    return fileVersion(dir_ / "file");
  }

  test::TempDir dir_;
};

TEST_F(KNVersionTest, BuiltProgramsAndThisProcessCarryTheProjectVersion) {
  EXPECT_EQ(fileVersion(KN_AUDITAGENT_PATH), KN_PROJECT_VERSION);
  EXPECT_EQ(fileVersion(KN_SVCUPDATER_PATH), KN_PROJECT_VERSION);
  EXPECT_EQ(ownVersion(), KN_PROJECT_VERSION);
}

TEST_F(KNVersionTest, ReadsEveryClassByteOrderAndHeaderTable) {
  for (bool is64 : {true, false})
    for (bool big : {false, true})
      for (bool sections : {false, true}) {
        TinyElf elf{is64, big, sections};
        // A foreign note first, as real programs have (the GNU build id).
        std::string notes = elf.note("GNU", 3, "\x01\x02\x03") +
                            elf.packageNote(R"({"type":"deb","name":"app","version":"2.3.4.5"})");
        EXPECT_EQ(versionOf(elf.build(notes)), "2.3.4.5") << is64 << big << sections;
      }
}

TEST_F(KNVersionTest, NoteContentDecidesBetweenEmptyAndUnreadable) {
  struct Case {
    std::string json, expected;
  } cases[] = {
      {R"({"type":"deb","name":"app"})", ""},              // no "version": empty
      {R"({"version":7})", ""},                            // not a text
      {R"({"version":"1.2.3.4","name":"x"})", "1.2.3.4"},  //
      {R"(["version","1.0.0.0"])", "0.0.0.0"},             // not an object
      {R"({"version":"1.0)", "0.0.0.0"},                   // broken JSON
      {"", "0.0.0.0"},
  };
  TinyElf elf;
  for (const auto& c : cases) EXPECT_EQ(versionOf(elf.build(elf.packageNote(c.json))), c.expected) << c.json;
  // A note of another owner or type is no package note.
  EXPECT_EQ(versionOf(elf.build(elf.note("GNU", 0xcafe1a7e, R"({"version":"9"})"))), "0.0.0.0");
  EXPECT_EQ(versionOf(elf.build(elf.note("FDO", 1, R"({"version":"9"})"))), "0.0.0.0");
}

TEST_F(KNVersionTest, UnreadableFilesGiveZeroVersion) {
  EXPECT_EQ(fileVersion(dir_ / "missing"), "0.0.0.0");
  EXPECT_EQ(fileVersion(dir_.path()), "0.0.0.0");  // a folder
  EXPECT_EQ(versionOf(""), "0.0.0.0");
  EXPECT_EQ(versionOf("#!/bin/sh\necho not an ELF file\n"), "0.0.0.0");
  EXPECT_EQ(versionOf(std::string("\x7f"
                                  "ELF\x03\x01\x01",
                                  7) +
                      std::string(100, '\0')),
            "0.0.0.0");
}

TEST_F(KNVersionTest, EveryTruncationOfANoteFileIsUnreadable) {
  for (bool is64 : {true, false})
    for (bool sections : {false, true}) {
      TinyElf elf{is64, false, sections};
      std::string whole = elf.build(elf.packageNote(R"({"version":"1.0.0.1"})"));
      ASSERT_EQ(versionOf(whole), "1.0.0.1");
      for (std::size_t len = 0; len < whole.size(); ++len)
        ASSERT_EQ(versionOf(whole.substr(0, len)), "0.0.0.0") << is64 << sections << " cut at " << len;
    }
  // A real program cut short keeps its headers' promises unkept.
  EXPECT_EQ(versionOf(test::readBytes(KN_AUDITAGENT_PATH).substr(0, 600)), "0.0.0.0");
}

TEST_F(KNVersionTest, OutOfRangeFieldsAreUnreadable) {
  TinyElf elf;  // 64-bit, little-endian, program header at 64, notes at 120
  const std::string good = elf.build(elf.packageNote(R"({"version":"1.0.0.1"})"));
  struct Patch {
    const char* what;
    std::size_t at;
    std::uint64_t value;
    int width;
  } patches[] = {
      {"e_phoff past the end", 32, ~std::uint64_t(0) - 8, 8},
      {"e_phnum huge", 56, 0xffff, 2},
      {"e_phentsize zero", 54, 0, 2},
      {"p_offset past the end", 64 + 8, 1u << 30, 8},
      {"p_offset wrapping", 64 + 8, ~std::uint64_t(0), 8},
      {"p_filesz huge", 64 + 32, ~std::uint64_t(0), 8},
      {"namesz huge", 120, 0xffffffff, 4},
      {"descsz huge", 124, 0xffffffff, 4},
      {"descsz one too many", 124, good.size() - 120 - 16 + 1, 4},
  };
  for (const auto& p : patches) {
    std::string bad = good;
    elf.put(bad, p.at, p.value, p.width);
    EXPECT_EQ(versionOf(bad), "0.0.0.0") << p.what;
  }
}

}  // namespace
}  // namespace kn
