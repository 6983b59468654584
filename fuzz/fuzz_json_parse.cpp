// libFuzzer target: the bounded JSON parser every reader of outside JSON uses (replies, the
// updater's configuration, package notes).
//
// Input layout: the first byte chooses whether comments are read as white space (its lowest bit);
// the rest is the text. Beside "no crash, no leak" it checks the parser's promises: a failed parse
// keeps nothing, a parse that succeeds is refused by a budget one byte below its cost and accepted
// by its cost, and the text parses to the same value when read once (pages given back).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "KNJsonParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  kn::JsonLimits limits{.maxDepth = 32, .maxCost = SIZE_MAX, .comments = (data[0] & 1) != 0};
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  kn::JsonParseResult whole = kn::parseJsonBounded(text, limits);
  if (whole.outcome != kn::JsonParseOutcome::Ok) {
    KN_FUZZ_CHECK(whole.value.is_null());
    return 0;
  }
  std::string copy(text);
  kn::JsonParseResult once = kn::parseJsonBoundedOnce(copy, limits);
  KN_FUZZ_CHECK(once.outcome == kn::JsonParseOutcome::Ok && once.cost == whole.cost);
  if (whole.cost == 0) return 0;  // a scalar at the root allocates nothing
  limits.maxCost = whole.cost;
  KN_FUZZ_CHECK(kn::parseJsonBounded(text, limits).outcome == kn::JsonParseOutcome::Ok);
  limits.maxCost = whole.cost - 1;
  kn::JsonParseResult under = kn::parseJsonBounded(text, limits);
  KN_FUZZ_CHECK(under.outcome == kn::JsonParseOutcome::TooLarge && under.value.is_null());
  return 0;
}
