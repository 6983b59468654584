// Base64 with the standard alphabet and "=" padding.
#pragma once

#include <string>
#include <string_view>

namespace kn {

std::string base64Encode(std::string_view bytes);

// Strict: the length must be a multiple of 4 and every character of the alphabet, with at most two
// "=" at the end; otherwise throws kn::Exception("Base64: Incorrect string format").
std::string base64Decode(std::string_view text);

// Lenient: characters outside the alphabet (line ends, spaces, "=") are skipped; trailing bits
// that do not make a whole byte are dropped. Never throws.
std::string base64DecodeLenient(std::string_view text);

}  // namespace kn
