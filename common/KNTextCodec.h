// Text read from disk or the network becomes UTF-8 here, whatever it was written in.
#pragma once

#include <string>
#include <string_view>

namespace kn {

// Decodes `bytes` to UTF-8. A byte-order mark selects UTF-8, UTF-16LE or UTF-16BE and is
// dropped; without one the text is taken as UTF-8 (this system's 8-bit code page) as it is.
// Unpaired UTF-16 surrogates become U+FFFD. Never throws for malformed input.
std::string decodeText(std::string_view bytes);

// Decodes UTF-16LE bytes without a byte-order mark (an odd last byte and unpaired surrogates
// become U+FFFD).
std::string decodeUtf16LE(std::string_view bytes);

// UTF-8 text as UTF-16LE bytes, no byte-order mark; invalid UTF-8 bytes become U+FFFD.
std::string encodeUtf16LE(std::string_view utf8);

// Appends the UTF-8 form of one code point (U+FFFD for values outside Unicode).
void appendUtf8(std::string& out, char32_t cp);

// The code point of the UTF-8 sequence at `pos` of `utf8`, moving `pos` past it. A byte that begins
// no well-formed sequence (a stray continuation byte, a cut, overlong or surrogate form, a value past
// U+10FFFF) gives U+FFFD and moves `pos` on by one. `pos` must lie inside `utf8`.
char32_t nextUtf8(std::string_view utf8, size_t& pos);

// The longest start of `utf8` that takes at most `units` UTF-16 code units (a character past U+FFFF
// takes two), never cut inside a character; as UTF-8, with bytes that are not UTF-8 replaced by
// U+FFFD (one unit each).
std::string cutToUtf16Units(std::string_view utf8, size_t units);

}  // namespace kn
