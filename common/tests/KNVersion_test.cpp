#include "KNVersion.h"

#include "KNTestTempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kn {
namespace {

// Builds small ELF files holding chosen notes, in either class and byte order, found through a
// section header table or a program header table.
struct TinyElf {
  bool is64 = true;
  bool big = false;
  bool sections = false;

  void put(std::string& s, std::size_t at, std::uint64_t v, int width) const {
    if (s.size() < at + width) s.resize(at + width, '\0');
    for (int i = 0; i < width; ++i) s[at + i] = char(v >> (8 * (big ? width - 1 - i : i)));
  }

  std::string note(const std::string& owner, std::uint32_t type, const std::string& desc) const {
    std::string n;
    put(n, 0, owner.size() + 1, 4);
    put(n, 4, desc.size() + 1, 4);
    put(n, 8, type, 4);
    n += owner;
    n.resize((n.size() + 1 + 3) / 4 * 4, '\0');
    n += desc;
    n.resize((n.size() + 1 + 3) / 4 * 4, '\0');
    return n;
  }

  std::string packageNote(const std::string& json) const { return note("FDO", 0xcafe1a7e, json); }

  std::string build(const std::string& notes) const {
    const std::size_t ehsize = is64 ? 64 : 52, phsize = is64 ? 56 : 32, shsize = is64 ? 64 : 40;
    std::string f = std::string(
                        "\x7f"
                        "ELF") +
                    char(is64 ? 2 : 1) + char(big ? 2 : 1) + char(1);
    f.resize(ehsize, '\0');
    put(f, 16, 2, 2);  // ET_EXEC
    const int w = is64 ? 8 : 4;
    const std::size_t table = ehsize, data = sections ? table + 2 * shsize : table + phsize;
    if (sections) {
      put(f, is64 ? 40 : 32, table, w);   // e_shoff
      put(f, is64 ? 58 : 46, shsize, 2);  // e_shentsize
      put(f, is64 ? 60 : 48, 2, 2);       // e_shnum: a null section and the notes
      std::size_t sh = table + shsize;
      put(f, sh + 4, 7, 4);                    // SHT_NOTE
      put(f, sh + (is64 ? 24 : 16), data, w);  // sh_offset
      put(f, sh + (is64 ? 32 : 20), notes.size(), w);
      put(f, sh + (is64 ? 48 : 32), 4, w);  // sh_addralign
    } else {
      put(f, is64 ? 32 : 28, table, w);         // e_phoff
      put(f, is64 ? 54 : 42, phsize, 2);        // e_phentsize
      put(f, is64 ? 56 : 44, 1, 2);             // e_phnum
      put(f, table, 4, 4);                      // PT_NOTE
      put(f, table + (is64 ? 8 : 4), data, w);  // p_offset
      put(f, table + (is64 ? 32 : 16), notes.size(), w);
      put(f, table + (is64 ? 48 : 28), 4, w);  // p_align
    }
    f.resize(data, '\0');
    return f + notes;
  }
};

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
