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
  std::string deep = "[A";  // 513 components: one more than Windows allows
  for (int i = 0; i < 512; ++i) deep += "\\k";
  deep += "]\n";
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"REGEDIT4\n", "line 1: expected"},
      {h + "\"a\"=\"1\"\n", "line 2: value outside of any key"},
      {h + "[HKEY_LOCAL_MACHINE\\A\n", "line 2: key line without closing"},
      {h + "[\\\\]\n", "line 2: empty key name"},
      {h + deep, "line 2: key nested deeper than 512 levels"},
      {h + "[A]\n\"a\"=hex(zz):00\n", "line 3: invalid hex value type"},
      {h + "[A]\n\"a\"=hex(2)00\n", "line 3: invalid hex value"},
      {h + "[A]\n\"a\"=hex:01,0g\n", "line 3: invalid byte"},
      {h + "[A]\n\"a\"=hex:01,,02\n", "line 3: invalid byte"},
      {h + "[A]\n\"a\"=hex:123\n", "line 3: invalid byte"},
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

TEST(HiveParse, HexValuesKeepTheirTypeAndReadAsTextByWindowsRules) {
  Hive hive = parseHive(
      "Windows Registry Editor Version 5.00\n[K]\n"
      "\"expand\"=hex(2):25,00,50,00,41,00,\\\n  54,00,48,00,25,00,00,00\n"  // %PATH%, continued
      "\"sz\"=hex(1):E9,00,3D,D8,00,DE,00,00,41,00\n"                        // "é😀", NUL, then junk
      "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
      "\"qword\"=hex(b):2a,00,00,00,00,00,00,00\n"
      "\"bin\"=HEX:DE, AD ,be,\n"  // spaces and one trailing comma are tolerated
      "\"none\"=hex(0000):\n"
      "\"odd\"=hex(2):41\n");
  struct Case {
    const char* name;
    const char* stored;
    std::optional<std::string> text;
  } cases[] = {
      {"expand", "hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00", "%PATH%"},  // not expanded
      {"sz", "hex(1):e9,00,3d,d8,00,de,00,00,41,00", "\u00e9\U0001F600"},
      {"multi", "hex(7):61,00,00,00,62,00,00,00,00,00", std::nullopt},
      {"qword", "hex(b):2a,00,00,00,00,00,00,00", std::nullopt},
      {"bin", "hex:de,ad,be", std::nullopt},
      {"none", "hex(0):", std::nullopt},
      {"odd", "hex(2):41", ""},
  };
  const HiveKey& key = hive.keys.at(0);
  ASSERT_EQ(key.values.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(key.values[i], (RegValue{cases[i].name, RegType::Other, cases[i].stored, 0}));
    EXPECT_EQ(regValueText(key.values[i]), cases[i].text) << cases[i].name;
  }
  EXPECT_EQ(hive.readString("k", "EXPAND"), "%PATH%");
  EXPECT_THROW(hive.readString("k", "multi"), ERegistryException);
  EXPECT_EQ(parseHive(formatHive(hive)), hive);
}

TEST(HiveParse, DeletionsApplyInFileOrder) {
  Hive hive = parseHive(
      "Windows Registry Editor Version 5.00\n"
      "[R\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"X\"=-\n\"never\"=-\n"
      "[R\\A\\B]\n\"b\"=\"old\"\n"
      "[R\\C]\n\"c\"=\"kept\"\n"
      "[-r\\a]\n\"ignored\"=\"in a removed key\"\n"
      "[-R\\Nothing]\n"
      "[R\\A\\B]\n\"b2\"=\"new\"\n"
      "[R\\C]\n\"y\"=\"2\"\n\"y\"=-\n\"y\"=\"back\"\n");
  ASSERT_EQ(hive.keys.size(), 2u);
  EXPECT_EQ(hive.keys[0].path, "R\\C");
  EXPECT_EQ(hive.keys[0].values,
            (std::vector<RegValue>{{"c", RegType::String, "kept", 0}, {"y", RegType::String, "back", 0}}));
  EXPECT_EQ(hive.keys[1].path, "R\\A\\B");  // listed again after its parent was removed: fresh
  EXPECT_EQ(hive.keys[1].values, (std::vector<RegValue>{{"b2", RegType::String, "new", 0}}));
  EXPECT_FALSE(hive.find("R\\A"));
  EXPECT_EQ(hive.subKeys("R"), (std::vector<std::string>{"C", "A"}));

  Hive dashed;
  dashed.ensure("-R\\K");  // a key whose name begins with "-" stays a key once written
  EXPECT_EQ(parseHive(formatHive(dashed)), dashed);
}

TEST(HiveParse, ManyValuesInOneKeyMergeAndDeleteByName) {
  std::string text = "Windows Registry Editor Version 5.00\n[K]\n";
  for (int i = 0; i < 100; ++i) text += "\"v" + std::to_string(i) + "\"=\"" + std::to_string(i) + "\"\n";
  text += "\"V5\"=\"five\"\n\"v7\"=-\n\"v99\"=-\n\"v99\"=dword:00000001\n";
  Hive hive = parseHive(text);
  const auto& values = hive.keys.at(0).values;
  ASSERT_EQ(values.size(), 99u);
  EXPECT_EQ(values[5], (RegValue{"V5", RegType::String, "five", 0}));
  EXPECT_EQ(values[7].name, "v8");
  EXPECT_EQ(values[98], (RegValue{"v99", RegType::DWord, "", 1}));
}

TEST(HiveParse, FormatWrapsHexValuesAsRegeditDoes) {
  Hive hive;
  std::string bytes;
  for (int i = 0; i < 60; ++i) bytes += (i ? ",4" : "4") + std::to_string(i % 10);
  hive.ensure("R\\K").values.push_back({"a long value name", RegType::Other, "hex(7):" + bytes, 0});
  hive.ensure("R\\K").values.push_back({"", RegType::Other, "hex:", 0});
  std::string text = formatHive(hive);
  size_t from = text.find("\"a long");
  std::string_view value(text.data() + from, text.find("\n@") - from);
  EXPECT_EQ(value.substr(0, 30), "\"a long value name\"=hex(7):40,");
  size_t lines = 0;
  for (size_t at = 0, end; at < value.size(); at = end + 1, ++lines) {
    end = std::min(value.find('\n', at), value.size());
    std::string_view line = value.substr(at, end - at);
    EXPECT_LE(line.size(), 80u) << line;
    if (end < value.size()) {
      EXPECT_TRUE(line.ends_with(",\\")) << line;
    }
    if (at > 0) {
      EXPECT_TRUE(line.starts_with("  4")) << line;
    }
  }
  EXPECT_EQ(lines, 3u);
  EXPECT_NE(text.find("\n@=hex:\n"), std::string::npos);
  EXPECT_EQ(parseHive(text), hive);
}

// Found by fuzzing: a hex value continued on a line of a lone comma and blanks that itself ends in a
// backslash, then a blank line. Whatever the text, what it parses to must format and parse back whole.
TEST(HiveParse, OddHexContinuationsFormatAndParseBack) {
  for (const char* text : {"Windows Registry Editor Version 5.00\n[K]\n\"b\"=hex:00,\\\n,  \\\n\n",
                           "Windows Registry Editor Version 5.00\n[K]\n\"b\"=hex(2):41,00,\\\n  \\\n  00,00\n"}) {
    SCOPED_TRACE(text);
    Hive hive;
    try {
      hive = parseHive(text);
    } catch (const Exception&) {
      continue;  // refusing it is as good as reading it whole
    }
    std::string formatted = formatHive(hive);
    EXPECT_EQ(parseHive(formatted), hive) << formatted;
    EXPECT_EQ(formatHive(parseHive(formatted)), formatted);
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

  hive.keys.push_back(HiveKey{"R\\Added\\Directly", {}});  // behind the index's back
  const Hive& view = hive;
  EXPECT_TRUE(view.exists("r\\added"));
  EXPECT_NE(view.find("R\\ADDED\\directly"), nullptr);
  EXPECT_EQ(view.subKeys("R"), (std::vector<std::string>{"App", "Other", "Added"}));
}

TEST(HiveModel, KeyPathsNormalise) {
  EXPECT_EQ(normalizeKeyPath("\\Software\\\\Kestrane\\App\\\\"), "Software\\Kestrane\\App");
  EXPECT_EQ(fullKeyPath(HKEY_CURRENT_USER, ""), "HKEY_CURRENT_USER");
  EXPECT_EQ(fullKeyPath(HKEY_LOCAL_MACHINE, "Software\\X\\"), "HKEY_LOCAL_MACHINE\\Software\\X");
  EXPECT_THROW(normalizeKeyPath("Software\\a\nb"), ERegistryAccessError);
  std::string deep;
  for (size_t i = 1; i < kMaxKeyDepth; ++i) deep += "\\k";
  EXPECT_NO_THROW(fullKeyPath(HKEY_CURRENT_USER, deep));
  EXPECT_THROW(fullKeyPath(HKEY_CURRENT_USER, deep + "\\k"), ERegistryAccessError);
}

}  // namespace
}  // namespace kn
