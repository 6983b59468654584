#include "KNMemTable.h"

#include <gtest/gtest.h>

namespace kn {
namespace {

// A table of (id integer, name string of 3) with a unique index on id.
struct KeyedTable {
  TKNMemTable t;
  KeyedTable(bool activeIndex = true) {
    t.addField("id", TFieldType::Integer);
    t.addField("name", TFieldType::String, 3);
    t.addIndex("PrimaryKey", {"ID"}, {.primary = true});
    if (activeIndex) t.setActiveIndex("PrimaryKey");
    t.open();
  }
  void add(int id, const char* name) {
    t.append();
    t.fieldByName("id").setInteger(id);
    t.fieldByName("name").setText(name);
    t.post();
  }
  std::string ids() {
    std::string out;
    for (t.first(); !t.eof(); t.next()) out += std::to_string(t.field(0).asInteger()) + " ";
    return out;
  }
};

TEST(KNMemTable, ActiveIndexOrdersRecordsOtherwiseAppendOrder) {
  KeyedTable keyed;
  KeyedTable plain(false);
  for (int id : {3, 1, 2}) keyed.add(id, "x"), plain.add(id, "x");
  EXPECT_EQ(keyed.ids(), "1 2 3 ");
  EXPECT_EQ(plain.ids(), "3 1 2 ");
  keyed.t.emptyTable();
  EXPECT_EQ(keyed.t.recordCount(), 0u);
  EXPECT_TRUE(keyed.t.eof());
  keyed.add(1, "y");  // the emptied index no longer holds 1
  EXPECT_EQ(keyed.ids(), "1 ");
}

TEST(KNMemTable, DuplicateKeyIsRejectedAndLeavesTheRecordPending) {
  KeyedTable k(false);  // a unique index guards posts even when it is not the active one
  k.add(7, "a");
  k.t.append();
  k.t.field(0).setInteger(7);
  try {
    k.t.post();
    FAIL() << "duplicate posted";
  } catch (const ETableError& e) {
    EXPECT_STREQ(e.what(), "Key violation in index 'PrimaryKey': a record with id = 7 already exists");
  }
  EXPECT_TRUE(k.t.isAppending());
  EXPECT_EQ(k.t.recordCount(), 1u);
  k.t.field(0).setInteger(8);
  k.t.post();
  EXPECT_EQ(k.ids(), "7 8 ");
}

TEST(KNMemTable, MisuseThrowsAndChangesNothing) {
  KeyedTable k;
  k.add(1, "abc");
  EXPECT_THROW(k.t.addField("late", TFieldType::Memo), ETableError);
  EXPECT_THROW(k.t.field(0).setInteger(2), ETableError);  // not appending
  k.t.append();
  EXPECT_THROW(k.t.append(), ETableError);
  EXPECT_THROW(k.t.first(), ETableError);
  EXPECT_THROW(k.t.fieldByName("name").setText("abcd"), ETableError);  // longer than 3 characters
  k.t.fieldByName("name").setText("äöü");                              // 3 characters, 6 bytes
  EXPECT_THROW(k.t.fieldByName("name").setInteger(1), ETableError);
  EXPECT_THROW(k.t.field(0).setLargeInt(int64_t{1} << 40), EConvertError);
  EXPECT_THROW(k.t.field(0).asCurrency(), ETableError);
  k.t.cancel();
  EXPECT_EQ(k.t.recordCount(), 1u);
  EXPECT_EQ(k.t.findField("NAME"), &k.t.field(1));
  EXPECT_EQ(k.t.findField("nope"), nullptr);
}

TEST(KNMemTable, TypedValuesAndTheirTexts) {
  TKNMemTable t;
  t.addField("i", TFieldType::Integer);
  t.addField("l", TFieldType::LargeInt);
  t.addField("c", TFieldType::Currency);
  t.addField("f", TFieldType::Float);
  t.addField("b", TFieldType::Boolean);
  t.addField("d", TFieldType::Date);
  t.addField("dt", TFieldType::DateTime);
  t.addField("m", TFieldType::Memo);
  t.open();
  t.append();
  for (size_t i = 0; i < t.fieldCount(); ++i) EXPECT_TRUE(t.field(i).isNull());
  t.fieldByName("i").setInteger(-5);
  t.fieldByName("l").setLargeInt(int64_t{1} << 40);
  t.fieldByName("c").setCurrency(-1);
  t.fieldByName("f").setFloat(0.1);
  t.fieldByName("b").setBoolean(true);
  t.fieldByName("d").setDateTime(44614.75);  // the time of day is dropped
  t.fieldByName("dt").setDateTime(44614.75);
  t.post();
  t.first();
  EXPECT_EQ(t.fieldByName("d").asDateTime(), 44614.0);
  EXPECT_EQ(t.fieldByName("c").asFloat(), -0.0001);
  EXPECT_THROW(t.fieldByName("l").asInteger(), EConvertError);
  std::string texts;
  for (size_t i = 0; i < t.fieldCount(); ++i) texts += t.field(i).asText() + "|";
  EXPECT_EQ(texts, "-5|1099511627776|-0.0001|0.1|True|2022/02/22|2022/02/22 18:00:00||");
  EXPECT_TRUE(t.fieldByName("m").isNull());
  EXPECT_EQ(t.fieldByName("m").asText(), "");
}

TEST(KNMemTable, EmptyTableReadsNullFields) {
  KeyedTable k;
  k.t.first();
  EXPECT_TRUE(k.t.eof());
  EXPECT_TRUE(k.t.field(0).isNull());
  EXPECT_EQ(k.t.field(0).asInteger(), 0);
}

}  // namespace
}  // namespace kn
