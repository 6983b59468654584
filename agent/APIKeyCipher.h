// The running-key cipher that keeps the stored API key unreadable at a glance.
//
// The agent deciphers what the key tool enciphered: both use the three parameters kept in
// APIKeyCipher.cpp and nowhere else. This is obfuscation, not protection: the hive file is
// readable by root only.
#pragma once

#include <string>
#include <string_view>

namespace kn {

// Byte-wise running-key cipher: out = in XOR high byte of k; k := (cipherByte + k) * mult + add.
std::string encipherBytes(std::string_view plain);
std::string decipherBytes(std::string_view cipher);

// The stored form: Base64 of the enciphered key bytes.
std::string encodeStoredAPIKey(std::string_view plainKey);
// The plain key of a stored form. Throws kn::Exception "Base64: Incorrect string format" for text
// that is not strict Base64, and "The deciphered API key is not text" when the result is not UTF-8
// (this system's 8-bit code page): a value enciphered with other parameters, or garbage.
std::string decodeStoredAPIKey(std::string_view stored);

}  // namespace kn
