// JSON values that came from outside, written without recursion.
//
// nlohmann::json's own writer (dump) and comparison recurse once per level of nesting, so a value
// nested a hundred thousand deep would overflow the stack. Replies are therefore parsed with a
// depth limit (KNJsonParse.h: nothing deeper is ever built), and every value that goes into a log
// line or a message is written by jsonText, which keeps its own stack and can stop early once it
// has written enough. Stateless functions; any thread may call them.
#pragma once

#include <cstddef>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "KNJsonParse.h"

namespace kn {

// The compact text of `v` as nlohmann::json::dump writes it: with `asciiOnly`, every character
// outside printable ASCII as a \u escape (the form of log lines); otherwise UTF-8, with bytes that
// are not UTF-8 as U+FFFD. Writing stops once more than `maxBytes` bytes are out, so the result is at
// most `maxBytes` plus one token long. Any depth, no recursion.
std::string jsonText(const nlohmann::json& v, bool asciiOnly,
                     std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// A value from outside, fit for a log line: its compact ASCII text, cut to 1,000 characters plus
// "...". That text holds no control character (every one is a \u escape), so it is not escaped
// again: the line shows the JSON text as it is.
std::string jsonLogText(const nlohmann::json& v);

}  // namespace kn
