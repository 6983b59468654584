// JSON text that came from outside, read and written without recursion.
//
// nlohmann::json's own writer (dump) and comparison recurse once per level of nesting, so a value
// nested a hundred thousand deep would overflow the stack. Replies are therefore parsed here with a
// depth limit, checked while the text is read (nothing deeper is ever built), and every value that
// goes into a log line or a message is written by jsonText, which keeps its own stack and can stop
// early once it has written enough. Stateless functions; any thread may call them.
#pragma once

#include <cstddef>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kn {

// How a bounded parse ended.
enum class JsonParseOutcome { Ok, Invalid, TooDeep };

struct JsonParseResult {
  JsonParseOutcome outcome = JsonParseOutcome::Invalid;
  nlohmann::json value;  // the whole value when Ok, null otherwise
  std::string error;     // the parser's message when Invalid
};

// Parses `text` as one JSON value with at most `maxDepth` nested arrays and objects (the outermost
// counts as 1). Strings are moved out of the parser, not copied. Never throws for bad input; a raw
// NUL byte anywhere makes the text invalid (the parser alone would take it for the end).
JsonParseResult parseJsonBounded(std::string_view text, std::size_t maxDepth);

// As parseJsonBounded, for a large text that is not needed afterwards: the memory of the part
// already read is given back while parsing, so the text and the value are not both resident. Only
// the first 64 KB of `text` keep their bytes; the rest reads as zeros afterwards.
JsonParseResult parseJsonBoundedOnce(std::string& text, std::size_t maxDepth);

// The compact text of `v` as nlohmann::json::dump writes it: with `asciiOnly`, every character
// outside printable ASCII as a \u escape (the form of log lines); otherwise UTF-8, with bytes that
// are not UTF-8 as U+FFFD. Writing stops once more than `maxBytes` bytes are out, so the result is at
// most `maxBytes` plus one token long. Any depth, no recursion.
std::string jsonText(const nlohmann::json& v, bool asciiOnly,
                     std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// A value from outside, fit for a log line: its compact ASCII text, cut to 1,000 characters plus
// "..." (logSafe).
std::string jsonLogText(const nlohmann::json& v);

}  // namespace kn
