#include "KNRegistryHive.h"

#include <gtest/gtest.h>

namespace kn {
namespace {

const char* const kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; written by hand\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App]\r\n"
    "\"path\"=\"C:\\\\dir \\\"quoted\\\"\"\r\n"
    "\"lines\"=\"a\\r\\nb\"\r\n"
    "\"count\"=dword:0000002A\r\n"
    "@=\"default\"\r\n"
    "\"blob\"=hex:01,02,\\\r\n"
    "  03,04\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App\\audit]\r\n"
    "\"nextv6\"=\"45678.5\"\r\n";

TEST(HiveParse, ReadsEveryValueForm) {
  Hive hive = parseHive(kSample);
  ASSERT_EQ(hive.keys.size(), 2u);
  EXPECT_EQ(hive.keys[0].path, "HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App");
  std::vector<RegValue> expected = {
      {"path", RegType::String, "C:\\dir \"quoted\"", 0},
      {"lines", RegType::String, "a\r\nb", 0},
      {"count", RegType::DWord, "", 42},
      {"", RegType::String, "default", 0},
      {"blob", RegType::Other, "hex:01,02,03,04", 0},
  };
  EXPECT_EQ(hive.keys[0].values, expected);
  EXPECT_EQ(hive.keys[1].values, (std::vector<RegValue>{{"nextv6", RegType::String, "45678.5", 0}}));
}

TEST(HiveParse, FormatWritesRegeditTextThatReadsBack) {
  Hive hive = parseHive(kSample);
  std::string text = formatHive(hive);
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App]\n"
            "\"path\"=\"C:\\\\dir \\\"quoted\\\"\"\n"
            "\"lines\"=\"a\\r\\nb\"\n"
            "\"count\"=dword:0000002a\n"
            "@=\"default\"\n"
            "\"blob\"=hex:01,02,03,04\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App\\audit]\n"
            "\"nextv6\"=\"45678.5\"\n");
  EXPECT_EQ(parseHive(text), hive);
}

TEST(HiveParse, MergesRepeatedKeysAndValuesWithoutRegardToCase) {
  Hive hive = parseHive(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n"
      "[hkey_current_user\\a\\\\]\n\"X\"=\"2\"\n\"y\"=\"3\"\n");
  ASSERT_EQ(hive.keys.size(), 1u);
  EXPECT_EQ(hive.keys[0].values,
            (std::vector<RegValue>{{"X", RegType::String, "2", 0}, {"y", RegType::String, "3", 0}}));
}

TEST(HiveParse, MalformedTextNamesSourceAndLine) {
  const std::string h = "Windows Registry Editor Version 5.00\n";
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"REGEDIT4\n", "line 1: expected"},
      {h + "\"a\"=\"1\"\n", "line 2: value outside of any key"},
      {h + "[HKEY_LOCAL_MACHINE\\A\n", "line 2: key line without closing"},
      {h + "[\\\\]\n", "line 2: empty key name"},
      {h + "[-HKEY_LOCAL_MACHINE\\A]\n", "line 2: key deletion"},
      {h + "[A]\n\"a\"=\"unterminated\n", "line 3: unterminated string"},
      {h + "[A]\n\"a\" \"1\"\n", "line 3: expected \"=\""},
      {h + "[A]\n\"a\"=\"1\" tail\n", "line 3: unexpected text"},
      {h + "[A]\n\"a\"=dword:123456789\n", "line 3: invalid dword"},
      {h + "[A]\n\"a\"=dword:xyz\n", "line 3: invalid dword"},
      {h + "[A]\n\"a\"=qword:1\n", "line 3: unknown value type"},
      {h + "[A]\n\"a\"=\n", "line 3: missing value"},
      {h + "[A]\n\"a\"=hex:01,\\\n", "line 3: value continues past the end"},
      {h + "[A]\njunk\n", "line 3: unrecognised line"},
  };
  for (const auto& c : cases) {
    try {
      parseHive(c.text, "/etc/kestrane/HKLM.reg");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const EHiveFormatError& e) {
      EXPECT_NE(std::string(e.what()).find("/etc/kestrane/HKLM.reg: " + c.message), std::string::npos)
          << e.what();
    }
  }
}

TEST(HiveParse, BlankTextIsAnEmptyHive) {
  EXPECT_TRUE(parseHive("").keys.empty());
  EXPECT_TRUE(parseHive("\n  \r\n").keys.empty());
}

TEST(HiveModel, KeysAreFoundCreatedAndListedInOrder) {
  Hive hive = parseHive(
      "Windows Registry Editor Version 5.00\n"
      "[R\\App\\b]\n[R\\App\\a\\deep]\n[R\\Other]\n");
  EXPECT_TRUE(hive.exists("r\\app"));  // implied by its subkeys
  EXPECT_TRUE(hive.exists("R\\APP\\A"));
  EXPECT_FALSE(hive.exists("R\\Ap"));
  EXPECT_EQ(hive.subKeys("r\\app"), (std::vector<std::string>{"b", "a"}));

  hive.ensure("R\\App\\c");  // joins its family instead of going to the end
  hive.ensure("R\\app\\B");  // already there
  std::vector<std::string> paths;
  for (const auto& k : hive.keys) paths.push_back(k.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"R\\App\\b", "R\\App\\a\\deep", "R\\App\\c", "R\\Other"}));
}

TEST(HiveModel, KeyPathsNormalise) {
  EXPECT_EQ(normalizeKeyPath("\\Software\\\\Kestrane\\App\\\\"), "Software\\Kestrane\\App");
  EXPECT_EQ(fullKeyPath(HKEY_CURRENT_USER, ""), "HKEY_CURRENT_USER");
  EXPECT_EQ(fullKeyPath(HKEY_LOCAL_MACHINE, "Software\\X\\"), "HKEY_LOCAL_MACHINE\\Software\\X");
  EXPECT_THROW(normalizeKeyPath("Software\\a\nb"), ERegistryAccessError);
}

}  // namespace
}  // namespace kn
