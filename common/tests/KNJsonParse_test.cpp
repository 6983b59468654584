// Parsing JSON from outside: depth and the parsed value's memory are bounded while the text is read.
#include "KNJsonParse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace kn {
namespace {

using nlohmann::json;

constexpr JsonLimits kDepth3{.maxDepth = 3, .maxCost = SIZE_MAX};

std::string nested(size_t depth) { return std::string(depth, '[') + "1" + std::string(depth, ']'); }

std::string repeated(const std::string& item, size_t count) {
  std::string text = "[";
  for (size_t i = 0; i < count; ++i) text += (i ? "," : "") + item;
  return text + "]";
}

TEST(JsonParse, OutcomeAndNothingKeptOnFailure) {
  struct Case {
    std::string text;
    JsonLimits limits;
    JsonParseOutcome outcome;
  } cases[] = {
      {nested(3), kDepth3, JsonParseOutcome::Ok},
      {nested(4), kDepth3, JsonParseOutcome::TooDeep},
      {R"({"a":{"b":[1]}})", kDepth3, JsonParseOutcome::Ok},
      {R"({"a":{"b":[{}]}})", kDepth3, JsonParseOutcome::TooDeep},
      {nested(100000), kDepth3, JsonParseOutcome::TooDeep},
      {repeated("{}", 100000), {.maxDepth = 3, .maxCost = 1 << 20}, JsonParseOutcome::TooLarge},
      {"\"" + std::string(2 << 20, 'x') + "\"",
       {.maxDepth = 3, .maxCost = 1 << 20},
       JsonParseOutcome::TooLarge},
      {std::string("{}\0", 3), kDepth3, JsonParseOutcome::Invalid},
      {"{} x", kDepth3, JsonParseOutcome::Invalid},
      {"1e400", kDepth3, JsonParseOutcome::Invalid},
      {"\"\xFF\"", kDepth3, JsonParseOutcome::Invalid},  // callers repair the text first
      {"", kDepth3, JsonParseOutcome::Invalid},
      {"{\"a\":1 /* note */} // end", kDepth3, JsonParseOutcome::Invalid},
      {"{\"a\":1 /* note */} // end",
       {.maxDepth = 3, .maxCost = SIZE_MAX, .comments = true},
       JsonParseOutcome::Ok},
  };
  for (const Case& c : cases) {
    JsonParseResult r = parseJsonBounded(c.text, c.limits);
    EXPECT_EQ(r.outcome, c.outcome) << c.text.substr(0, 40);
    if (r.outcome != JsonParseOutcome::Ok) {
      EXPECT_TRUE(r.value.is_null()) << c.text.substr(0, 40);
    }
  }
  EXPECT_EQ(parseJsonBounded(R"({"a":[1],"a":"last"})", kDepth3).value, json({{"a", "last"}}));
}

// The budget is checked at every value: a value that costs exactly the budget is built, one byte
// less refuses it, whatever the shape.
TEST(JsonParse, CostBudgetIsExact) {
  const std::string texts[] = {
      repeated("{}", 1000),
      repeated("[]", 1000),
      repeated("7", 1000),
      R"({"key of more than fifteen":")" + std::string(100, 'v') + R"(","b":[true,null,{"c":[]}]})",
      R"({"a":{},"a":{},"a":{}})",
  };
  for (const std::string& text : texts) {
    JsonParseResult whole = parseJsonBounded(text, {.maxDepth = 8, .maxCost = SIZE_MAX});
    ASSERT_EQ(whole.outcome, JsonParseOutcome::Ok) << text.substr(0, 40);
    EXPECT_EQ(parseJsonBounded(text, {.maxDepth = 8, .maxCost = whole.cost}).outcome, JsonParseOutcome::Ok);
    JsonParseResult under = parseJsonBounded(text, {.maxDepth = 8, .maxCost = whole.cost - 1});
    EXPECT_EQ(under.outcome, JsonParseOutcome::TooLarge) << text.substr(0, 40);
    EXPECT_TRUE(under.value.is_null());
  }
}

// What the budget stands for: tiny values cost tens of times their text, long strings about their
// length. (Resident memory itself is measured in bench/rpc_reply_bench.cpp.)
TEST(JsonParse, CostFollowsTheShape) {
  struct Case {
    std::string text;
    double atLeast, atMost;  // cost per byte of text
  } cases[] = {
      {repeated("{}", 100000), 25, 40},
      {repeated("[]", 100000), 15, 30},
      {repeated("1", 100000), 10, 20},
      {repeated("\"" + std::string(1021, 'x') + "\"", 100), 1.0, 1.15},
  };
  for (const Case& c : cases) {
    JsonParseResult r = parseJsonBounded(c.text, kDepth3);
    double perByte = static_cast<double>(r.cost) / static_cast<double>(c.text.size());
    EXPECT_GE(perByte, c.atLeast) << c.text.substr(0, 20);
    EXPECT_LE(perByte, c.atMost) << c.text.substr(0, 20);
  }
}

}  // namespace
}  // namespace kn
