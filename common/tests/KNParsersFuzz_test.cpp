// Randomised inputs for the two parsers that read text from outside: hive files and
// PHP-serialized strings. A fixed seed keeps every run the same; the sanitizer build turns any
// out-of-bounds read into a failure.
#include <gtest/gtest.h>

#include <random>

#include "KNConfig.h"
#include "KNRegistryHive.h"

namespace kn {
namespace {

constexpr int kRounds = 3000;

// Bytes with a bias toward the characters the grammars care about.
std::string randomText(std::mt19937& gen, size_t maxLen) {
  static const std::string alphabet = "[]\\\"=@:;{}s a\r\n0123456789xdwordhex,-\xC3\xA9\xF0\x9F\x98\x80";
  std::uniform_int_distribution<size_t> len(0, maxLen);
  std::uniform_int_distribution<int> pick(0, 3);
  std::string s(len(gen), '\0');
  for (char& c : s) c = pick(gen) == 0 ? static_cast<char>(gen() & 0xFF) : alphabet[gen() % alphabet.size()];
  return s;
}

// One random edit: replace, insert, delete a byte, or splice in a piece of the text itself.
std::string mutate(std::mt19937& gen, std::string s) {
  int edits = 1 + static_cast<int>(gen() % 4);
  for (int i = 0; i < edits; ++i) {
    size_t at = s.empty() ? 0 : gen() % (s.size() + 1);
    switch (gen() % 4) {
      case 0:
        if (at < s.size()) s[at] = static_cast<char>(gen() & 0xFF);
        break;
      case 1:
        s.insert(at, 1, "\"\\:;{}\n"[gen() % 7]);
        break;
      case 2:
        if (at < s.size()) s.erase(at, 1);
        break;
      default: {
        size_t from = s.empty() ? 0 : gen() % s.size();
        s.insert(at, s.substr(from, gen() % 12));
      }
    }
  }
  return s;
}

TEST(ParserFuzz, HiveTextEitherParsesAndRoundTripsOrFailsCleanly) {
  const std::string valid =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"n\"=\"v\\\\x\\\"y\"\n"
      "\"d\"=dword:0000002a\n@=\"def\"\n\"h\"=hex:01,\\\n  02\n\n[HKEY_LOCAL_MACHINE\\Software\\A\\B]\n";
  std::mt19937 gen(20240115);
  int parsed = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = round % 2 ? mutate(gen, valid) : randomText(gen, 200);
    if (round % 3 == 0) text = "Windows Registry Editor Version 5.00\n" + text;
    try {
      Hive hive = parseHive(text, "fuzz");
      ++parsed;
      ASSERT_EQ(parseHive(formatHive(hive)), hive) << "round trip changed:\n" << text;
    } catch (const EHiveFormatError& e) {
      ASSERT_EQ(std::string(e.what()).rfind("fuzz: line ", 0), 0u) << e.what();
    }
  }
  EXPECT_GT(parsed, kRounds / 20);  // the mutations also reach the success paths
}

TEST(ParserFuzz, PhpTextEitherLoadsOrFailsWithTheOneMessage) {
  TKNConfig source("Fuzz");
  source.Put("name", "value");
  source.Put("ünï\"cødé", "😀;\"}");
  source.Put("k", "a:1:{s:1:\"x\";}");
  const std::string valid = source.PHPSerialize();
  std::mt19937 gen(42);
  int loaded = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = round % 2 ? mutate(gen, valid) : "a:" + randomText(gen, 120);
    TKNConfig cfg("Fuzz");
    cfg.CSVMode = round % 5 == 0;
    try {
      cfg.PHPUnserialize(text);
      ++loaded;
      if (!cfg.CSVMode) {
        TKNConfig again("Fuzz");
        again.PHPUnserialize(cfg.PHPSerialize());
        ASSERT_EQ(again.Params, cfg.Params);
      }
    } catch (const Exception& e) {
      ASSERT_STREQ(e.what(), "Invalid PHPSerialized string");
      ASSERT_TRUE(cfg.Params.empty());
    }
  }
  EXPECT_GT(loaded, 0);
}

}  // namespace
}  // namespace kn
