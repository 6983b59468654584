#include "ext.tables.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "KNTestTempDir.h"
#include "ext.channel.h"
#include "knLOG2.h"

namespace kn {
namespace {

using nlohmann::json;

// Captures the main log: lines come back without their "[TExtChannel @...] " prefix.
class ExtTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLog();
    initLogAt(dir_.path(), "exttest");
  }
  void TearDown() override { resetLog(); }

  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(test::readBytes(mainLogFile()));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.substr(line.find("] ") + 2));
    }
    return lines;
  }
  std::string lastLog() const {
    auto lines = logLines();
    return lines.empty() ? "" : lines.back();
  }

  // "name:ordinal:size" of every field, comma-separated.
  static std::string describe(const TKNMemTable& t) {
    std::string out;
    for (size_t i = 0; i < t.fieldCount(); ++i) {
      const TKNField& f = t.field(i);
      out += (i ? "," : "") + f.name() + ":" + std::to_string(ordinal(f.type())) + ":" +
             std::to_string(f.size());
    }
    return out;
  }

  const int owner_ = 0;
  test::TempDir dir_;
};

TEST_F(ExtTablesTest, ColumnInference) {
  struct Case {
    const char* array;
    const char* fieldsLog;  // after "Fields: "
    const char* columns;
    const char* currencyLog;  // "" when none is expected
  } cases[] = {
      // A name seen once with text stays a string, in either order.
      {R"([{"a":"x"},{"a":5}])", "a=S1", "a:1:1", ""},
      {R"([{"a":5},{"a":"x"}])", "a=S1", "a:1:1", ""},
      // Text that reads as a number.
      {R"([{"p":"12.50"}])", "p=C5", "p:7:0", "!! is currency: p [12.50]=12.5000"},
      {R"([{"p":"12.5"}])", "p=D4", "p:6:0", ""},
      {R"([{"p":"12"}])", "p=I2", "p:3:0", ""},
      {R"([{"p":"0.00"}])", "p=C4", "p:7:0", "!! is currency: p [0.00]=0.0000"},
      {R"([{"p":"00"}])", "p=S2", "p:1:2", ""},
      {R"([{"p":"0.00001"}])", "p=S7", "p:1:7", ""},  // zero at four decimals
      {R"([{"p":"1E-7"}])", "p=D4", "p:6:0", ""},     // the general text of 1e-7
      {R"([{"p":"1e-7"}])", "p=S4", "p:1:4", ""},
      // Numbers by their written kind; the last non-null value decides.
      // (Members of one object come in name order: their order carries no meaning.)
      {R"([{"c":12.50,"f":12.50000,"e":1e2,"i":12,"b":true}])", "b=B4,c=C4,e=D5,f=D4,i=I2",
       "b:5:0,c:7:0,e:6:0,f:6:0,i:3:0", ""},
      {R"([{"v":1},{"v":1.5},{"v":null}])", "v=C3", "v:7:0", ""},
      {R"([{"v":"abc"},{"v":12345}])", "v=S5", "v:1:5", ""},
      // Names differing only in case share the first spelling.
      {R"([{"Name":"ab"},{"NAME":"abcd"},{"name":"x"}])", "Name=S4", "Name:1:4", ""},
      // Null, objects and arrays make no column; non-object elements are passed over.
      {R"([{"n":null,"o":{"x":1},"l":[1]},7,"s"])", "", "", ""},
      {R"([])", "", "", ""},
      // Entries with blanks, commas or quotes are quoted in the log.
      {R"([{"my col":"é","q\"":1}])", "\"my col=S1\",\"q\"\"=I1\"", "my col:1:1,q\":3:0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.array);
    JsonDocument doc(c.array);
    auto t = createMTFromArray(doc.value(), &owner_, &doc);
    auto lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), std::string("Fields: ") + c.fieldsLog);
    EXPECT_EQ(describe(*t), c.columns);
    bool hasCurrencyLine = lines.size() >= 2 && lines[lines.size() - 2].rfind("!! is currency: ", 0) == 0;
    EXPECT_EQ(hasCurrencyLine ? lines[lines.size() - 2] : "", c.currencyLog);
    EXPECT_TRUE(t->isOpen());
    EXPECT_EQ(t->recordCount(), doc.value().size());
    resetLog();
    initLogAt(dir_.path(), "exttest" + std::to_string(&c - cases));  // a fresh log per case
  }
}

TEST_F(ExtTablesTest, InferredColumnsHoldTheRowsValues) {
  // price ends as an integer column (the last value decides), so its text "12.50" reads as 0;
  // rate ends as currency and takes the float text "0.5" at four decimals.
  JsonDocument doc(
      R"([{"id":2,"name":"b","price":"12.50","rate":"0.5","ok":true,"when":"2022-02-22 14:47:24"},
                       {"id":1,"NAME":"a","price":3,"rate":2.25,"ok":false,"when":""},
                       {"id":3}])");
  auto t = createMTFromArray(doc.value(), &owner_, &doc);
  EXPECT_EQ(describe(*t), "id:3:0,name:1:1,ok:5:0,price:3:0,rate:7:0,when:1:19");
  std::vector<std::string> rows;
  for (t->first(); !t->eof(); t->next()) rows.push_back(DatasetRecordToSuperobject(*t).dump());
  // Ordered by id; a missing name reads as "", a missing number as 0, a missing boolean as null.
  EXPECT_EQ(rows, (std::vector<std::string>{
                      R"({"id":1,"name":"a","ok":"False","price":3,"rate":2.25,"when":""})",
                      R"({"id":2,"name":"b","ok":"True","price":0,"rate":0.5,"when":"2022-02-22 14:47:24"})",
                      R"({"id":3,"name":"","ok":"","price":0,"rate":0.0,"when":""})",
                  }));
}

TEST_F(ExtTablesTest, DuplicateIdsAreRejected) {
  for (const char* array : {R"([{"id":1},{"id":1}])", R"([{"ID":"a"},{"id":"a"}])"}) {
    SCOPED_TRACE(array);
    try {
      createMTFromArray(json::parse(array), &owner_);
      FAIL() << "no error";
    } catch (const ETableError& e) {
      EXPECT_NE(std::string(e.what()).find("Key violation in index 'PrimaryKey'"), std::string::npos)
          << e.what();
    }
  }
}

TEST_F(ExtTablesTest, MissingArrayLogsEmptyArrayDoesNot) {
  TKNMemTable t;
  t.addField("a", TFieldType::Integer);
  t.open();
  const char* line = "copyArrayToMT: empty array, so table is empty too.";
  copyArrayToMT(json::parse(R"([{"a":1},{"a":2}])"), t, &owner_);
  EXPECT_EQ(t.recordCount(), 2u);
  EXPECT_EQ(t.field(0).asInteger(), 1);  // on the first record

  copyArrayToMT(json::array(), t, &owner_);
  EXPECT_EQ(t.recordCount(), 0u);
  EXPECT_TRUE(logLines().empty());

  copyArrayToMT(json::parse(R"([{"a":1}])"), t, &owner_);
  copyArrayToMT(json(), t, &owner_);
  EXPECT_EQ(t.recordCount(), 0u);
  EXPECT_EQ(lastLog(), line);

  auto created = createMTFromArray(json(), &owner_);
  EXPECT_EQ(created->fieldCount(), 0u);
  EXPECT_EQ(lastLog(), line);
  EXPECT_THROW(copyArrayToMT(json::object(), t, &owner_), EConvertError);
}

TEST_F(ExtTablesTest, FailedRowStopsTheCopyWithoutAPendingRecord) {
  TKNMemTable t;
  t.addField("a", TFieldType::Integer);
  t.open();
  EXPECT_THROW(copyArrayToMT(json::parse(R"([{"a":1},{"a":5000000000}])"), t, &owner_), EConvertError);
  EXPECT_FALSE(t.isAppending());
  EXPECT_EQ(t.recordCount(), 1u);
}

TEST_F(ExtTablesTest, RecordFillerReadsEachFieldType) {
  TKNMemTable t;
  t.addField("s", TFieldType::String, 10);
  t.addField("m", TFieldType::Memo);
  t.addField("i", TFieldType::Integer);
  t.addField("l", TFieldType::LargeInt);
  t.addField("c", TFieldType::Currency);
  t.addField("f", TFieldType::Float);
  t.addField("b", TFieldType::Boolean);
  t.addField("d", TFieldType::Date);
  t.addField("dt", TFieldType::DateTime);
  t.open();
  struct Case {
    const char* rec;
    const char* texts;  // asText of every field, "|" after each; "~" marks null
  } cases[] = {
      {R"({"s":"x","m":{"k":[1]},"i":-7,"l":5000000000,"c":12.5,"f":1e-7,"b":true,"d":"2022-02-22","dt":"2022-02-22 14:47:24"})",
       R"(x|{"k":[1]}|-7|5000000000|12.5|1E-7|True|2022/02/22|2022/02/22 14:47:24|)"},
      // Numbers held in text, members found without regard to case.
      {R"({"S":7,"M":null,"I":"42","L":"-1","C":"0.0001","F":"2.5","B":"true","D":"x","DT":"0"})",
       R"(7||42|-1|0.0001|2.5|~|~|1970/01/01 00:00:00|)"},
      // Missing members; unreadable numbers.
      {R"({"i":"4x","c":"abc","f":"","d":"2022-02-30","dt":"2022-02-22 24:00:00"})", R"(||0|0|0|~|~|~|~|)"},
      // Floats into integers are cut toward zero; currency is rounded to four decimals.
      {R"({"i":-2.9,"c":0.00005,"l":1e15})", R"(||-2|1000000000000000|0|~|~|~|~|)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rec);
    t.append();
    copySuperObjectToMTRecord(json::parse(c.rec), t, &owner_);
    std::string texts;
    for (size_t i = 0; i < t.fieldCount(); ++i)
      texts += (t.field(i).isNull() ? "~" : t.field(i).asText()) + "|";
    EXPECT_EQ(texts, c.texts);
    t.cancel();
  }
  t.append();
  EXPECT_THROW(copySuperObjectToMTRecord(json::parse(R"({"s":"12345678901"})"), t, &owner_), ETableError);
  EXPECT_THROW(copySuperObjectToMTRecord(json::parse(R"({"i":2147483648})"), t, &owner_), EConvertError);
  EXPECT_THROW(copySuperObjectToMTRecord(json::parse(R"({"l":"9223372036854775808"})"), t, &owner_),
               EConvertError);
  EXPECT_THROW(copySuperObjectToMTRecord(json::parse(R"({"c":1e15})"), t, &owner_), EConvertError);
}

TEST_F(ExtTablesTest, RecordToJson) {
  TKNMemTable t;
  t.addField("d0", TFieldType::Date);
  t.addField("d1", TFieldType::DateTime);
  t.addField("d2", TFieldType::Date);
  t.addField("dn", TFieldType::DateTime);
  t.addField("l", TFieldType::LargeInt);
  t.addField("c", TFieldType::Currency);
  t.addField("i", TFieldType::Integer);
  t.addField("s", TFieldType::String, 5);
  t.addField("f", TFieldType::Float);
  t.open();
  t.append();
  t.fieldByName("d0").setDateTime(0.0);
  t.fieldByName("d1").setDateTime(1.0);
  t.fieldByName("d2").setDateTime(44614.5);
  t.fieldByName("l").setLargeInt(int64_t{1} << 53);
  t.fieldByName("c").setCurrency(-125000);
  t.post();
  EXPECT_EQ(DatasetRecordToSuperobject(t).dump(),
            R"({"c":-12.5,"d2":"2022-02-22","f":"","i":0,"l":"9007199254740992","s":""})");
  try {
    DatasetToSuperObject(t);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TExtChannel.DatasetToSuperObject not implemented");
  }
}

TEST_F(ExtTablesTest, DateTexts) {
  const TDateTime moment = encodeDateTimeParts(2022, 2, 22, 14, 47, 24, 0);
  EXPECT_EQ(dateTimeToStr(moment), "2022-02-22 14:47:24");
  EXPECT_EQ(dateToStr(moment), "2022-02-22");
  EXPECT_EQ(dateTimeToStr(-1.25), "1899-12-29 06:00:00");

  struct Case {
    const char* text;
    TDateTime date;      // strToDate
    TDateTime dateTime;  // strToDateTime
    const char* log;     // "" when strToDateTime logs nothing
  } cases[] = {
      {"2022-02-22 14:47:24", 44614, moment, ""},
      {"2022/02/22", 44614, 44614, ""},
      {"2022.02.22", 44614, 25569, "Unix timestamp [2022.02.22]? 1970-01-01 00:00:00"},
      {"", -1, 0, ""},
      {"2022-02", -1, -1, ""},
      {"2022-02-30 10:00:00", -1, -1, ""},  // an invalid date fails even with a valid time
      {"2022-02-22 24:00:00", 44614, -1, ""},
      {"2022-02-22 23:59:60", 44614, -1, ""},
      {"1645541244", -1, 25569 + 1645541244 / 86400.0, "Unix timestamp [1645541244]? 2022-02-22 14:47:24"},
      {"4102444800", -1, 73051, "Unix timestamp [4102444800]? 2100-01-01 00:00:00"},  // past 2038
      {"abc", -1, 25569, "Unix timestamp [abc]? 1970-01-01 00:00:00"},
      {"1e12", -1, -1, ""},  // beyond year 9999
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    size_t before = logLines().size();
    EXPECT_EQ(strToDate(c.text), c.date);
    EXPECT_DOUBLE_EQ(strToDateTime(c.text, &owner_), c.dateTime);
    auto lines = logLines();
    EXPECT_EQ(lines.size() > before ? lines.back() : "", c.log);
  }
}

TEST_F(ExtTablesTest, DateFieldsAreClearedByInvalidOrEmptyText) {
  TKNMemTable t;
  TKNField& d = t.addField("d", TFieldType::Date);
  TKNField& dt = t.addField("dt", TFieldType::DateTime);
  t.open();
  t.append();
  strToDateField("2022-02-22 14:47:24", d);
  strToDateTimeField("2022-02-22 14:47:24", dt, &owner_);
  EXPECT_EQ(d.asDateTime(), 44614.0);
  EXPECT_EQ(dateTimeToStr(dt.asDateTime()), "2022-02-22 14:47:24");
  for (const char* text : {"", "2022-13-01", "1899-12-30"}) {
    strToDateField(text, d);
    strToDateTimeField(text, dt, &owner_);
    EXPECT_TRUE(d.isNull()) << text;
    EXPECT_TRUE(dt.isNull()) << text;
  }
}

}  // namespace
}  // namespace kn

namespace kn {
namespace {

TEST(ChannelTables, ChannelMembersLogUnderTheChannel) {
  test::TempDir dir;
  resetLog();
  initLogAt(dir.path(), "exttest");
  TExtChannel channel("http://127.0.0.1:9");
  auto mt = channel.createMTFromArray(nlohmann::json::parse(R"([{"id":1,"price":"12.50"}])"));
  ASSERT_NE(mt, nullptr);
  channel.copyArrayToMT(nlohmann::json::parse(R"([{"id":2,"price":"1.25"},{"id":3,"price":"2"}])"), *mt);
  EXPECT_EQ(mt->recordCount(), 2u);
  std::string prefix = "[TExtChannel @" + std::to_string(reinterpret_cast<intptr_t>(&channel)) + "] Fields: ";
  EXPECT_NE(test::readBytes(mainLogFile()).find(prefix), std::string::npos) << test::readBytes(mainLogFile());
  EXPECT_EQ(TExtChannel::dateToStr(TExtChannel::strToDate("2022-02-22")), "2022-02-22");
  resetLog();
}

}  // namespace
}  // namespace kn
