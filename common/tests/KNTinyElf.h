// Small ELF files holding chosen notes, for tests of the version note and of what reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kn::test {

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

// A program file whose version note says `version`, as fileVersion reads it.
inline std::string programWithVersion(const std::string& version) {
  TinyElf elf;
  return elf.build(elf.packageNote(R"({"type":"deb","name":"app","version":")" + version + R"("})"));
}

}  // namespace kn::test
