#include "KNJsonKinds.h"

#include <gtest/gtest.h>

namespace kn {
namespace {

using K = JsonNumberKind;

TEST(KNJsonKinds, KindFollowsTheNumbersText) {
  struct Case {
    const char* text;
    K kind;
  } cases[] = {
      {"12", K::Integer},    {"-0", K::Integer},      {"12.50", K::Currency}, {"12.5", K::Currency},
      {"0.00", K::Currency}, {"1.2345", K::Currency}, {"1.23456", K::Float},  {"12.50000", K::Float},
      {"1e2", K::Float},     {"1.5E-3", K::Float},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(numberKindOfText(c.text), c.kind) << c.text;
    JsonDocument doc(c.text);  // a number alone is a document too
    EXPECT_EQ(doc.numberKind(doc.value()), c.kind) << c.text;
  }
}

TEST(KNJsonKinds, DocumentKeepsTheKindOfEveryNestedNumber) {
  // Arrays grow while they are read, so kinds must survive their elements moving.
  JsonDocument doc(R"({"rows":[{"a":1.50,"b":1.5e0},{"a":2.00000}],"n":[0.1,0.2,0.3,0.4,0.5,1e300],
                       "dup":1.5,"dup":2.5e1,"gone":{"x":1.5},"gone":{"y":1},"big":18446744073709551616})");
  const auto& v = doc.value();
  EXPECT_EQ(doc.numberKind(v["rows"][0]["a"]), K::Currency);
  EXPECT_EQ(doc.numberKind(v["rows"][0]["b"]), K::Float);
  EXPECT_EQ(doc.numberKind(v["rows"][1]["a"]), K::Float);
  EXPECT_EQ(doc.numberKind(v["n"][4]), K::Currency);
  EXPECT_EQ(doc.numberKind(v["n"][5]), K::Float);
  EXPECT_EQ(doc.numberKind(v["dup"]), K::Float);  // the last member of a name wins, with its kind
  EXPECT_EQ(v["gone"], nlohmann::json::parse(R"({"y":1})"));
  EXPECT_EQ(doc.numberKind(v["big"]), K::Float);  // beyond 64 bits: kept as a double
}

TEST(KNJsonKinds, NumbersWithoutTextAreJudgedByTheirShortestText) {
  using nlohmann::json;
  EXPECT_EQ(jsonNumberKind(json(12)), K::Integer);
  EXPECT_EQ(jsonNumberKind(json(12.5)), K::Currency);
  EXPECT_EQ(jsonNumberKind(json(100.0)), K::Currency);
  EXPECT_EQ(jsonNumberKind(json(0.1 + 0.2)), K::Float);
  EXPECT_EQ(jsonNumberKind(json(1e20)), K::Float);
  EXPECT_EQ(jsonNumberKind(json(1e16 + 0.5)), K::Float);  // beyond the currency's range
}

TEST(KNJsonKinds, InvalidTextThrowsAsNlohmannDoes) {
  EXPECT_THROW(JsonDocument("[1,"), nlohmann::json::parse_error);
  EXPECT_THROW(JsonDocument("{\"a\" 1}"), nlohmann::json::parse_error);
  EXPECT_THROW(JsonDocument("1e999"), nlohmann::json::out_of_range);
}

}  // namespace
}  // namespace kn
