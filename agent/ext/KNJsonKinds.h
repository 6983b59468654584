// The kinds of JSON numbers. The system's JSON value tells three kinds of number apart by the text
// they were written in: integer (no decimal point, no exponent), currency (a decimal point, at
// most four digits after it, no exponent) and floating point (anything else). nlohmann::json keeps
// only the value, so "12.50" and "12.50000" both become the double 12.5.
//
// JsonDocument parses a text and remembers, beside the value, the kind each floating number was
// written in. A number that comes without its text (built in code, or parsed by plain
// nlohmann::json::parse) is judged by the text it would be written as (jsonNumberKind), which
// agrees with its original text except for over-long fractions ("1.50000") and exponents ("1e2").
// Stateless functions; a JsonDocument may be read from any number of threads.
#pragma once

#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace kn {

enum class JsonNumberKind { Integer, Currency, Float };

// The kind that a JSON number text gives its number, by the rule above; the text is not checked
// further.
JsonNumberKind numberKindOfText(std::string_view text);

// The kind of a number value without its text: integers are integers; a floating value has the
// kind of its shortest text ("12.5" currency, "0.30000000000000004" and "1e+20" floating point).
// A currency beyond the range of the fixed-point currency (about 9.2e14) counts as floating point.
JsonNumberKind jsonNumberKind(const nlohmann::json& number);

class JsonDocument {
 public:
  // Parses `text`; throws nlohmann::json::parse_error (or out_of_range for a number beyond the
  // range of a double) as nlohmann::json::parse does.
  explicit JsonDocument(std::string_view text);
  // Not copyable or movable: the kinds are kept by the address of each value.
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  const nlohmann::json& value() const { return value_; }

  // The kind `number` was written in, when it is a value inside value(); any other number is
  // judged by jsonNumberKind. A text of an integer too large for 64 bits was kept as a double and
  // counts as floating point, as does a currency text beyond the currency's range.
  JsonNumberKind numberKind(const nlohmann::json& number) const;

 private:
  nlohmann::json value_;
  std::unordered_map<const nlohmann::json*, JsonNumberKind> floatKinds_;
};

}  // namespace kn
