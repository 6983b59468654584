// The registry seam on Windows, against the real registry (64-bit view) under both roots: the
// values the system writes and reads, the other types as their hive text, and values exchanged
// with the system's own reg.exe both ways. Each test works in a key of its own below Software,
// removed at the end.
// KNRegistry.h first: windows.h makes HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER macros, so below
// the roots are RegRoot::LocalMachine and RegRoot::CurrentUser.
#include "KNRegistry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "KNOs.h"
#include "KNWinTestSupport.h"
#include "KNWinText.h"

namespace kn {

// For gtest's messages (found by argument-dependent lookup, so in kn itself).
void PrintTo(const RegValue& v, std::ostream* out) {
  *out << "{\"" << v.name << "\", "
       << (v.type == RegType::String  ? "String"
           : v.type == RegType::DWord ? "DWord"
                                      : "Other")
       << ", \"" << v.text << "\", " << v.number << "}";
}

namespace {

HKEY rootKey(RegRoot root) { return root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

class RegistryWin : public ::testing::TestWithParam<RegRoot> {
 protected:
  void SetUp() override {
    try {
      reg_->createKey(root_, path_);
    } catch (const ERegistryAccessError& e) {
      if (root_ == RegRoot::LocalMachine)
        GTEST_SKIP() << "HKEY_LOCAL_MACHINE needs an administrator: " << e.what();
      throw;
    }
  }

  void TearDown() override {
    HKEY parent = nullptr;
    if (::RegOpenKeyExW(rootKey(root_), L"Software", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &parent) ==
        ERROR_SUCCESS) {
      ::RegDeleteTreeW(parent, win::wide(name_).c_str());
      ::RegCloseKey(parent);
    }
  }

  // Stores a value of any type as it is, past the seam.
  void setRaw(const std::string& name, DWORD type, const void* data, size_t size) {
    HKEY key = nullptr;
    ASSERT_EQ(
        ::RegOpenKeyExW(rootKey(root_), win::wide(path_).c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
        ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key, win::wide(name).c_str(), 0, type, static_cast<const BYTE*>(data),
                               static_cast<DWORD>(size)),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  // reg.exe with `args` after its verb and the key, in the 64-bit view.
  ProgramResult regExe(const std::string& verb, std::vector<std::string> args) {
    std::vector<std::string> head = {"reg", verb,
                                     (root_ == RegRoot::LocalMachine ? "HKLM\\" : "HKCU\\") + path_};
    args.insert(args.begin(), head.begin(), head.end());
    args.push_back("/reg:64");
    ProgramRun run;
    run.argv = args;
    return os().runProgram(run);
  }

  std::optional<RegValue> valueNamed(const std::string& name) {
    for (RegValue& v : reg_->values(root_, path_))
      if (v.name == name) return v;
    return std::nullopt;
  }

  std::shared_ptr<TRegistry> reg_ = newSystemRegistry();
  RegRoot root_ = GetParam();
  std::string name_ = test::uniqueName("KnRegistryTest_");
  std::string path_ = (root_ == RegRoot::LocalMachine ? "SOFTWARE\\" : "Software\\") + name_;
};

TEST_P(RegistryWin, TextAndNumbersKeepTheirTypesAndNamesMatchInAnyCase) {
  const std::string text =
      "Gr\xc3\xbc\xc3\x9f"
      "e \xe2\x82\xac \"quoted\" C:\\path";
  reg_->writeString(root_, path_ + "\\\\Sub\\", "Text", text);  // empty components are ignored
  reg_->writeString(root_, path_, "", "default");
  reg_->writeString(root_, path_, "Empty", "");
  reg_->writeDword(root_, path_, "Zero", 0);
  reg_->writeDword(root_, path_, "Max", 0xffffffffu);

  std::vector<RegValue> values = reg_->values(root_, path_);
  std::vector<RegValue> expected = {{"", RegType::String, "default", 0},
                                    {"Empty", RegType::String, "", 0},
                                    {"Zero", RegType::DWord, "", 0},
                                    {"Max", RegType::DWord, "", 0xffffffffu}};
  // Windows lists values in the order they were created, Wine by name: the set is what counts.
  auto byName = [](const RegValue& a, const RegValue& b) { return a.name < b.name; };
  std::sort(values.begin(), values.end(), byName);
  std::sort(expected.begin(), expected.end(), byName);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(reg_->subKeys(root_, path_), std::vector<std::string>{"Sub"});

  std::string upper = path_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(reg_->readString(root_, upper + "\\sub", "TEXT"), text);
  EXPECT_EQ(reg_->readString(root_, path_, ""), "default");
  EXPECT_EQ(reg_->readString(root_, path_, "Empty"), "");
  try {
    reg_->readString(root_, path_, "Zero");
    ADD_FAILURE() << "a DWORD read as text";
  } catch (const ERegistryAccessError&) {
    ADD_FAILURE() << "a type error reported as an access error";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Zero'");
  }

  // A write replaces a value of another type; a deletion happens once.
  reg_->writeString(root_, path_, "zero", "now text");
  EXPECT_EQ(valueNamed("Zero"), (RegValue{"Zero", RegType::String, "now text", 0}));
  EXPECT_TRUE(reg_->deleteValue(root_, path_, "MAX"));
  EXPECT_FALSE(reg_->deleteValue(root_, path_, "Max"));
  EXPECT_FALSE(valueNamed("Max"));
}

TEST_P(RegistryWin, MissingKeysAndValuesAreNothing) {
  const std::string missing = path_ + "\\Missing\\Deeper";
  EXPECT_TRUE(reg_->keyExists(root_, path_));
  EXPECT_FALSE(reg_->keyExists(root_, missing));
  EXPECT_TRUE(reg_->values(root_, missing).empty());
  EXPECT_TRUE(reg_->subKeys(root_, missing).empty());
  EXPECT_EQ(reg_->readString(root_, missing, "x"), std::nullopt);
  EXPECT_EQ(reg_->readString(root_, path_, "x"), std::nullopt);
  EXPECT_FALSE(reg_->deleteValue(root_, missing, "x"));
  EXPECT_FALSE(reg_->deleteValue(root_, path_, "x"));
  EXPECT_FALSE(reg_->keyExists(root_, missing)) << "reading created the key";

  reg_->createKey(root_, missing);  // with its missing parent
  EXPECT_TRUE(reg_->keyExists(root_, missing));
  reg_->createKey(root_, missing);  // an existing key is fine
  EXPECT_EQ(reg_->subKeys(root_, path_), std::vector<std::string>{"Missing"});
}

// Every other type reads as the hive file writes it ("hex(<type in hex>):bytes"), and only the
// string types read as text, up to their first NUL and unexpanded.
TEST_P(RegistryWin, OtherTypesReadAsTheirHiveText) {
  struct Case {
    const char* name;
    DWORD type;
    std::string bytes;
    const char* hive;                 // the value's text in values()
    std::optional<std::string> text;  // what readString gives; nullopt: a type error
  } cases[] = {
      {"Expand", REG_EXPAND_SZ, std::string("%\0T\0%\0\0\0", 8), "hex(2):25,00,54,00,25,00,00,00", "%T%"},
      {"Binary", REG_BINARY, "\x01\xab", "hex:01,ab", std::nullopt},
      {"Multi", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10), "hex(7):61,00,00,00,62,00,00,00,00,00",
       std::nullopt},
      {"Qword", REG_QWORD, std::string("\x2a\0\0\0\0\0\0\0", 8), "hex(b):2a,00,00,00,00,00,00,00",
       std::nullopt},
      {"ResourceList", REG_RESOURCE_REQUIREMENTS_LIST, "\x01", "hex(a):01", std::nullopt},
      {"None", REG_NONE, "", "hex(0):", std::nullopt},
      {"ShortDword", REG_DWORD, "\x01\x02", "hex(4):01,02", std::nullopt},
  };
  for (const Case& c : cases) setRaw(c.name, c.type, c.bytes.data(), c.bytes.size());
  // A string stored without its final NUL, and one with text after a NUL.
  setRaw("Unterminated", REG_SZ, "a\0b\0", 4);
  setRaw("Inner", REG_SZ, "a\0\0\0b\0\0\0", 8);

  for (const Case& c : cases) {
    EXPECT_EQ(valueNamed(c.name), (RegValue{c.name, RegType::Other, c.hive, 0})) << c.name;
    if (c.text) {
      EXPECT_EQ(reg_->readString(root_, path_, c.name), c.text) << c.name;
    } else {
      EXPECT_THROW(reg_->readString(root_, path_, c.name), ERegistryException) << c.name;
    }
  }
  EXPECT_EQ(valueNamed("Unterminated"), (RegValue{"Unterminated", RegType::String, "ab", 0}));
  EXPECT_EQ(reg_->readString(root_, path_, "Unterminated"), "ab");
  EXPECT_EQ(reg_->readString(root_, path_, "Inner"), "a");
}

TEST_P(RegistryWin, ValuesWrittenByRegExeAreReadAndOursAreWhatRegQueryShows) {
  ASSERT_TRUE(regExe("add", {"/v", "Text", "/t", "REG_SZ", "/d", "hello world", "/f"}).exitedWith(0));
  ASSERT_TRUE(regExe("add", {"/v", "Count", "/t", "REG_DWORD", "/d", "42", "/f"}).exitedWith(0));
  ASSERT_TRUE(regExe("add", {"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%\\x", "/f"}).exitedWith(0));
  ASSERT_TRUE(regExe("add", {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b", "/f"}).exitedWith(0));
  ASSERT_TRUE(regExe("add", {"/v", "Blob", "/t", "REG_BINARY", "/d", "01ab", "/f"}).exitedWith(0));
  EXPECT_EQ(reg_->readString(root_, path_, "Text"), "hello world");
  EXPECT_EQ(valueNamed("Count"), (RegValue{"Count", RegType::DWord, "", 42}));
  EXPECT_EQ(reg_->readString(root_, path_, "Path"), "%TEMP%\\x");
  EXPECT_EQ(valueNamed("List"),
            (RegValue{"List", RegType::Other, "hex(7):61,00,00,00,62,00,00,00,00,00", 0}));
  EXPECT_EQ(valueNamed("Blob"), (RegValue{"Blob", RegType::Other, "hex:01,ab", 0}));

  reg_->writeString(root_, path_, "Ours", "written by us");
  reg_->writeDword(root_, path_, "OurCount", 7);
  ProgramResult text = regExe("query", {"/v", "Ours"});
  ASSERT_TRUE(text.exitedWith(0)) << text.exitCode;
  EXPECT_NE(text.output.find("Ours    REG_SZ    written by us"), std::string::npos) << text.output;
  ProgramResult number = regExe("query", {"/v", "OurCount"});
  ASSERT_TRUE(number.exitedWith(0)) << number.exitCode;
  EXPECT_NE(number.output.find("OurCount    REG_DWORD    0x7"), std::string::npos) << number.output;

  // Deletions seen from the other side.
  EXPECT_TRUE(reg_->deleteValue(root_, path_, "Ours"));
  EXPECT_FALSE(regExe("query", {"/v", "Ours"}).exitedWith(0));
  ASSERT_TRUE(regExe("delete", {"/v", "Text", "/f"}).exitedWith(0));
  EXPECT_EQ(reg_->readString(root_, path_, "Text"), std::nullopt);
  ASSERT_TRUE(regExe("delete", {"/f"}).exitedWith(0));
  EXPECT_FALSE(reg_->keyExists(root_, path_));
}

INSTANTIATE_TEST_SUITE_P(Roots, RegistryWin, ::testing::Values(RegRoot::CurrentUser, RegRoot::LocalMachine),
                         [](const auto& info) {
                           return std::string(info.param == RegRoot::LocalMachine ? "LocalMachine"
                                                                                  : "CurrentUser");
                         });

}  // namespace
}  // namespace kn
