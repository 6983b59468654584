#include "KNConfig.h"

#include <gtest/gtest.h>

#include "KNDecimalCommaLocale.h"
#include "KNRegistryFake.h"
#include "KNTempSysRoot.h"

namespace kn {
namespace {

std::vector<std::string> items(const TConfigParams& params) {
  std::vector<std::string> out;
  for (const auto& item : params) out.push_back(item.name + "=" + item.value);
  return out;
}

class ConfigStore : public ::testing::Test {
 protected:
  std::shared_ptr<TRegistryFake> fake = std::make_shared<TRegistryFake>();
  TScopedRegistry use{fake};
  const std::string appKey = "Software\\Kestrane\\App";
};

TEST_F(ConfigStore, LoadsValuesBeforeSubkeysAndCreatesTheKey) {
  fake->writeString(HKEY_CURRENT_USER, appKey, "top", "1");
  fake->writeString(HKEY_CURRENT_USER, appKey + "\\audit", "nextv6", "45678.5");
  fake->writeString(HKEY_CURRENT_USER, appKey + "\\audit\\deep", "x", "");
  fake->writeString(HKEY_CURRENT_USER, appKey, "second", "a=b");
  fake->writeString(HKEY_CURRENT_USER, appKey + "\\b", "y", "2");

  TKNConfig cfg("App");
  cfg.LoadData();
  EXPECT_EQ(items(cfg.Params), (std::vector<std::string>{"\\top=1", "\\second=a=b", "audit\\nextv6=45678.5",
                                                         "audit\\deep\\x=", "b\\y=2"}));
  EXPECT_EQ(cfg.Get("Audit\\NextV6"), "45678.5");

  TKNConfig fresh("New");
  fresh.LoadData();
  EXPECT_TRUE(fresh.Params.empty());
  EXPECT_TRUE(fake->keyExists(HKEY_CURRENT_USER, "Software\\Kestrane\\New"));
}

TEST_F(ConfigStore, LoadStopsAtAValueThatIsNotText) {
  fake->writeString(HKEY_CURRENT_USER, appKey, "a", "1");
  fake->writeDword(HKEY_CURRENT_USER, appKey, "n", 5);
  fake->writeString(HKEY_CURRENT_USER, appKey, "b", "2");
  TKNConfig cfg("App");
  try {
    cfg.LoadData();
    ADD_FAILURE() << "dword loaded as text";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'n'");
  }
  EXPECT_EQ(items(cfg.Params), std::vector<std::string>{"\\a=1"});
}

TEST_F(ConfigStore, SavesEveryItemAndNeverDeletes) {
  fake->writeString(HKEY_CURRENT_USER, appKey, "old", "kept");
  TKNConfig cfg("App");
  cfg.LoadData();
  cfg.Put("\\old", "");  // gone from the list only
  EXPECT_EQ(cfg.Params.indexOf("\\old"), -1);
  cfg.Put("audit\\nextv6", "1.5");
  cfg.Put("\\top", "t");
  cfg.Put("x:y", "colon");
  cfg.SaveData();

  EXPECT_EQ(fake->readString(HKEY_CURRENT_USER, appKey, "old"), "kept");
  EXPECT_EQ(fake->readString(HKEY_CURRENT_USER, appKey + "\\audit", "nextv6"), "1.5");
  EXPECT_EQ(fake->readString(HKEY_CURRENT_USER, appKey, "top"), "t");
  EXPECT_EQ(fake->readString(HKEY_CURRENT_USER, appKey + "\\x:", "y"), "colon");

  TKNConfig again("App");
  again.LoadData();
  EXPECT_EQ(again.Get("\\old"), "kept");
}

TEST_F(ConfigStore, CompanyAndRootChooseTheKey) {
  EXPECT_EQ(configCompany(), "Kestrane");
  fake->writeString(HKEY_LOCAL_MACHINE, "Software\\Policies\\ZARODIRazev", "apikey", "K1");
  {
    TScopedConfigCompany policies("Policies");
    TKNConfig cfg("ZARODIRazev");
    cfg.RootKey = HKEY_LOCAL_MACHINE;
    cfg.LoadData();
    EXPECT_EQ(cfg.Get("\\apikey"), "K1");
  }
  EXPECT_EQ(configCompany(), "Kestrane");
}

TEST(ConfigAccessors, TypedValuesReadBackAsStored) {
  TKNConfig cfg("App");
  cfg.PutInt("i", -42);
  cfg.PutInt64("i64", INT64_MIN);
  cfg.PutDouble("d", 0.1);
  cfg.PutDouble("big", 1e20);
  cfg.PutDouble("small", 1.5e-5);
  cfg.setCurrency("c", 123456789);
  cfg.SetDate("date", 45678.75);
  cfg.SetDateTime("dt", 45678.5625);
  cfg.PutBool("b", true);
  int local = 0;
  cfg.SetObject("o", &local);
  EXPECT_EQ(items(cfg.Params),
            (std::vector<std::string>{"i=-42", "i64=-9223372036854775808", "d=0.1", "big=1E20",
                                      "small=1.5E-5", "c=12345.6789", "date=45678", "dt=45678.5625", "b=T",
                                      "o=" + std::to_string(reinterpret_cast<intptr_t>(&local))}));
  EXPECT_EQ(cfg.GetInt("i"), -42);
  EXPECT_EQ(cfg.GetInt64("i64"), INT64_MIN);
  EXPECT_DOUBLE_EQ(cfg.GetDouble("small"), 1.5e-5);
  EXPECT_EQ(cfg.getCurrency("c"), 123456789);
  EXPECT_EQ(cfg.getDate("date"), 45678.0);
  EXPECT_EQ(cfg.GetDateTime("dt"), 45678.5625);
  EXPECT_TRUE(cfg.GetBool("B"));
  EXPECT_EQ(cfg.getObject("o"), &local);
}

TEST(ConfigAccessors, AbsentBoolIsAddedAsFalse) {
  TKNConfig cfg("App");
  EXPECT_FALSE(cfg.GetBool("flag"));
  EXPECT_EQ(items(cfg.Params), std::vector<std::string>{"flag=F"});
  cfg.Put("yes", "t");  // only exactly "T" is true
  EXPECT_FALSE(cfg.GetBool("yes"));
}

TEST(ConfigAccessors, NumbersFromTextNeverFail) {
  struct Case {
    const char* text;
    int32_t asInt;
    int64_t asInt64;
    double asDouble;
  } cases[] = {
      {"", 0, 0, 0},
      {"12", 12, 12, 12},
      {"  -7", -7, 0, -7},
      {"+5", 5, 5, 5},
      {"$1F", 31, 0, 0},
      {"0x10", 16, 0, 0},
      {"$FFFFFFFF", -1, 0, 0},
      {"2147483647", 2147483647, 2147483647, 2147483647},
      {"2147483648", 0, 2147483648LL, 2147483648.0},
      {"-2147483648", INT32_MIN, -2147483648LL, -2147483648.0},
      {"9223372036854775808", 0, 0, 9223372036854775808.0},
      {"1,5", 0, 0, 1.5},
      {"1.5", 0, 0, 1.5},
      {"12abc", 0, 0, 0},
      {"+-3", 0, 0, 0},
      {"inf", 0, 0, 0},
      {"1e400", 0, 0, 0},
  };
  for (const auto& c : cases) {
    TKNConfig cfg("App");
    cfg.Put("v", c.text);
    EXPECT_EQ(cfg.GetInt("v"), c.asInt) << c.text;
    EXPECT_EQ(cfg.GetInt64("v"), c.asInt64) << c.text;
    EXPECT_EQ(cfg.GetDouble("v"), c.asDouble) << c.text;
  }
  TKNConfig cfg("App");
  cfg.Put("huge", "1e300");
  EXPECT_EQ(cfg.getCurrency("huge"), 0);  // beyond 64 bits: no undefined conversion
  cfg.SetDate("far", 1e12);
  EXPECT_EQ(cfg.Get("far"), "0");
}

TEST(ConfigAccessors, DoublesFollowTheLocaleDecimalSeparator) {
  TKNConfig cfg("App");
  {
    test::DecimalCommaLocale commaLocale;
    if (!commaLocale.available()) GTEST_SKIP() << "localedef cannot build a decimal-comma locale";
    cfg.PutDouble("d", 1.5);
  }
  EXPECT_EQ(cfg.Get("d"), "1,5");
  EXPECT_EQ(cfg.GetDouble("d"), 1.5);
}

TEST(ConfigCsv, LinesAreStoredCommaSeparatedAndReadBackWithCR) {
  TKNConfig cfg("App");
  cfg.CSVMode = true;
  cfg.Put("list", "plain\r\nwith space\n\"q\",c\r");
  EXPECT_EQ(cfg.Params.value("list"), "plain,\"with space\",\"\"\"q\"\",c\"");
  EXPECT_EQ(cfg.Get("list"), "plain\rwith space\r\"q\",c");
  cfg.Put("list", "");
  EXPECT_EQ(cfg.Params.indexOf("list"), -1);
  cfg.Params.setValue("odd", ",,b");  // empty items add no separator while nothing precedes them
  EXPECT_EQ(cfg.Get("odd"), "b");
  cfg.Put("one", "\n");  // a single empty line
  EXPECT_EQ(cfg.Params.value("one"), "\"\"");
  EXPECT_EQ(parseCommaText("a, b ,\"c d\",,"), (std::vector<std::string>{"a", "b", "c d", "", ""}));
}

TEST(ConfigPhp, SerializesWithUtf16LengthsAndReadsItBack) {
  TKNConfig cfg("App");
  EXPECT_EQ(cfg.PHPSerialize(), "a:0:{}");
  cfg.Put("a", "1");
  cfg.Put("b", "xy");
  EXPECT_EQ(cfg.PHPSerialize(), "a:2:{s:1:\"a\";s:1:\"1\";s:1:\"b\";s:2:\"xy\";}");
  cfg.Put("ü", "😀\";");
  std::string text = cfg.PHPSerialize();
  EXPECT_NE(text.find("s:1:\"ü\";s:4:\"😀\";\";"), std::string::npos) << text;

  TKNConfig back("App");
  back.PHPUnserialize(text);
  EXPECT_EQ(back.Params, cfg.Params);
  back.PHPUnserialize("a:0:{}");
  EXPECT_TRUE(back.Params.empty());
  back.PHPUnserialize("a:2:{s:1:\"k\";s:0:\"\";s:1:\"j\";s:1:\"v\";}");  // empty values are left out
  EXPECT_EQ(items(back.Params), std::vector<std::string>{"j=v"});
}

TEST(ConfigPhp, MalformedTextIsRejectedAndLeavesNothing) {
  const char* bad[] = {
      "",
      "x:1:{}",
      "a",
      "a:x:{}",
      "a:1:",
      "a:1:[s:1:\"a\";s:1:\"b\";}",
      "a:1:{s:9:\"a\";s:1:\"b\";}",    // length past the end
      "a:1:{s:1:\"abc\";s:1:\"b\";}",  // text longer than its length
      "a:1:{s:-1:\"a\";s:1:\"b\";}",
      "a:1:{i:1;s:1:\"b\";}",                // not a string entry
      "a:999999999:{s:1:\"a\";s:1:\"b\";}",  // count far beyond the entries
      "a:99999999999999999999:{}",
      "a:1:{s:1:\"😀\";s:1:\"b\";}",  // would split a surrogate pair
      "a:1:{s:1:\"a\";s:1:\"b\";",
  };
  for (const char* text : bad) {
    TKNConfig cfg("App");
    cfg.Put("before", "x");
    try {
      cfg.PHPUnserialize(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid PHPSerialized string") << text;
    }
    EXPECT_TRUE(cfg.Params.empty()) << text;
  }
}

TEST(ConfigOnTheSystemRegistry, DeviceIdSurvivesARestart) {
  test::TempSysRoot root;
  TScopedRegistry use(newSystemRegistry());
  // A real registry (Windows') outlives the test: start from no value.
  registry()->deleteValue(HKEY_CURRENT_USER, "Software\\Kestrane\\_devid", "devid");
  {
    TKNConfig cfg("_devid");
    cfg.LoadData();
    EXPECT_EQ(cfg.Get("\\devid"), "");
    cfg.Put("\\devid", "abc-123");
    cfg.SaveData();
  }
  TScopedRegistry restarted(newSystemRegistry());
  TKNConfig cfg("_devid");
  cfg.LoadData();
  EXPECT_EQ(cfg.Get("\\devid"), "abc-123");
  registry()->deleteValue(HKEY_CURRENT_USER, "Software\\Kestrane\\_devid", "devid");
}

}  // namespace
}  // namespace kn
