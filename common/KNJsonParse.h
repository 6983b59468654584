// JSON text from outside (a server's reply, a configuration file, a note in another program's
// file), parsed without trust and without recursion. Both bounds are checked while the text is
// read, so nothing past them is ever built: the nesting of arrays and objects, and the memory the
// parsed value takes, estimated value by value (JsonTreeBuilder::cost). nlohmann::json::parse has
// neither: 63 MB of empty objects become about 1.9 GB of tree. Stateless functions; any thread may
// call them.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kn {

struct JsonLimits {
  std::size_t maxDepth = 0;  // nested arrays and objects; the outermost counts as 1
  std::size_t maxCost = 0;   // estimated heap bytes of the parsed value
  bool comments = false;     // "//" and "/* */" comments read as white space
};

// How a bounded parse ended.
enum class JsonParseOutcome { Ok, Invalid, TooDeep, TooLarge };

struct JsonParseResult {
  JsonParseOutcome outcome = JsonParseOutcome::Invalid;
  nlohmann::json value;  // the whole value when Ok, null otherwise: nothing of a failed parse is kept
  std::size_t cost = 0;  // the estimated heap bytes of what was built (of the whole value when Ok)
  std::string error;     // the parser's message when Invalid
};

// Parses `text` as one JSON value within `limits`. Strings are moved out of the parser, not copied.
// Never throws for bad input; a raw NUL byte anywhere makes the text invalid (the parser alone
// would take it for the end).
JsonParseResult parseJsonBounded(std::string_view text, const JsonLimits& limits);

// As parseJsonBounded, for a large text that is not needed afterwards: the memory of the part
// already read is given back while parsing, so the text and the value are not both resident. Only
// the first 64 KB of `text` keep their bytes; the rest reads as zeros afterwards.
JsonParseResult parseJsonBoundedOnce(std::string& text, const JsonLimits& limits);

}  // namespace kn
