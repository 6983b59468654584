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

}  // namespace kn
