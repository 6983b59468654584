// The wire form of every JSON value the RPC channel sends: compact and pure 7-bit ASCII.
//
// Inside strings, backspace, tab, newline, form feed and carriage return use their two-character
// escapes; the quote, the backslash and the slash are preceded by a backslash ("/" travels as
// "\/"); every other character below 32 or above 127 becomes \uXXXX (lower-case hex) of its UTF-16
// code units, a surrogate pair above U+FFFF. Text is taken as UTF-8; a byte that does not start a
// well-formed UTF-8 sequence is written as \ufffd, so the writer never throws on bad text.
// Object members come out in the JSON value's own (name) order.
//
// The output is sized exactly before it is written, so a large document costs one allocation of
// the final size and no regrowth.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kn {

struct Utf8CodePoint {
  char32_t cp;
  size_t len;  // bytes consumed
};

// One code point from the UTF-8 text at `s` (n >= 1, s[0] >= 0x80). Overlong forms, surrogates and
// values past U+10FFFF are not well formed: they yield U+FFFD for their first byte only.
Utf8CodePoint decodeUtf8(const unsigned char* s, size_t n);

// `v` in its compact ASCII form.
std::string toAsciiJson(const nlohmann::json& v);

// The number of bytes toAsciiJson(v) produces, and the escaped form of one string without quotes.
size_t asciiJsonSize(const nlohmann::json& v);
size_t asciiEscapedSize(std::string_view text);

// Writes the compact ASCII form of `v` (or of the quoted string `text`) at `out`, which must hold
// asciiJsonSize(v) (or asciiEscapedSize(text) + 2) bytes; returns the end of what was written.
char* writeAsciiJson(char* out, const nlohmann::json& v);
char* writeAsciiString(char* out, std::string_view text);

}  // namespace kn
