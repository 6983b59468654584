#include "KNJsonParse.h"

#include <cstdint>
#include <iterator>

#include "KNJsonTreeBuilder.h"
#include "KNMemory.h"

namespace kn {
namespace {

using json = nlohmann::json;

// Refuses to open a container past the depth limit or to build past the cost limit, and moves
// every large string out of the parser instead of copying it.
class BoundedBuilder : public JsonTreeBuilder {
 public:
  BoundedBuilder(json& root, const JsonLimits& limits)
      : JsonTreeBuilder(root, limits.maxCost), maxDepth_(limits.maxDepth) {}

  bool tooDeep = false;
  std::string error;

  // The parser's buffer grows by doubling: a string with much room to spare is copied to its own
  // size (the buffer stays for the next string), a large one that nearly fills it is moved.
  bool string(string_t& v) override {
    return put(v.capacity() - v.size() > v.size() / 8 ? string_t(v) : std::move(v));
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    error = e.what();
    return false;
  }

 private:
  bool open(json v) override {
    if (depth() >= maxDepth_) {
      tooDeep = true;
      return false;
    }
    return JsonTreeBuilder::open(std::move(v));
  }

  std::size_t maxDepth_;
};

// Reads a text once, front to back, and gives the pages already read back to the system as it goes,
// so that a large text and what is parsed from it are not both resident. The pages are zero when
// read again: only a text that is not needed afterwards may be read this way, and its first
// kKeptBytes stay (for a preview in an error message).
class ReleasingReader {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  static constexpr std::size_t kKeptBytes = 64 * 1024;
  static constexpr std::size_t kStep = 4 * 1024 * 1024;

  ReleasingReader() = default;
  ReleasingReader(const char* p, const char* base, bool release)
      : p_(p), base_(base), next_(release ? base + kKeptBytes + kStep : nullptr) {}

  const char& operator*() const { return *p_; }
  ReleasingReader& operator++() {
    if (++p_ == next_) releaseBehind();
    return *this;
  }
  ReleasingReader operator++(int) {
    ReleasingReader old = *this;
    ++*this;
    return old;
  }
  bool operator==(const ReleasingReader& o) const { return p_ == o.p_; }

 private:
  void releaseBehind() {
    const char* from = base_ + kKeptBytes;
    if (p_ - 1 > from) dropPages(from, static_cast<std::size_t>(p_ - 1 - from));  // the page being read stays
    next_ += kStep;
  }

  const char* p_ = nullptr;
  const char* base_ = nullptr;
  const char* next_ = nullptr;
};

JsonParseResult parseJsonBoundedImpl(std::string_view text, const JsonLimits& limits, bool release) {
  JsonParseResult r;
  if (text.find('\0') != std::string_view::npos) {
    r.error = "a NUL byte in the text";
    return r;
  }
  BoundedBuilder builder(r.value, limits);
  bool ok = false;
  try {
    ReleasingReader first(text.data(), text.data(), release),
        last(text.data() + text.size(), text.data(), false);
    ok = json::sax_parse(first, last, &builder, json::input_format_t::json, true, limits.comments);
  } catch (const json::exception& e) {  // not expected: the builder reports errors by returning false
    builder.error = e.what();
  }
  r.cost = builder.cost();
  if (ok) {
    r.outcome = JsonParseOutcome::Ok;
    return r;
  }
  r.value = nullptr;
  r.outcome = builder.tooDeep        ? JsonParseOutcome::TooDeep
              : builder.overBudget() ? JsonParseOutcome::TooLarge
                                     : JsonParseOutcome::Invalid;
  r.error = std::move(builder.error);
  return r;
}

}  // namespace

JsonParseResult parseJsonBounded(std::string_view text, const JsonLimits& limits) {
  return parseJsonBoundedImpl(text, limits, false);
}

JsonParseResult parseJsonBoundedOnce(std::string& text, const JsonLimits& limits) {
  return parseJsonBoundedImpl(text, limits,
                              text.size() > ReleasingReader::kKeptBytes + ReleasingReader::kStep);
}

}  // namespace kn
