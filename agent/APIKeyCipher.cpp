#include "APIKeyCipher.h"

#include <cstdint>

#include "KNBase64.h"

namespace kn {
namespace {

// The three parameters shared by the agent and the key tool. Changing them makes every stored
// key unreadable.
constexpr std::uint16_t kStartKey = 0x5B17;
constexpr std::uint32_t kMultiplier = 40503;
constexpr std::uint32_t kAddend = 12345;

std::uint16_t advance(std::uint16_t k, unsigned char cipherByte) {
  return static_cast<std::uint16_t>((cipherByte + k) * kMultiplier + kAddend);
}

}  // namespace

std::string encipherBytes(std::string_view plain) {
  std::string out(plain.size(), '\0');
  std::uint16_t k = kStartKey;
  for (size_t i = 0; i < plain.size(); ++i) {
    auto c = static_cast<unsigned char>(static_cast<unsigned char>(plain[i]) ^ (k >> 8));
    out[i] = static_cast<char>(c);
    k = advance(k, c);
  }
  return out;
}

std::string decipherBytes(std::string_view cipher) {
  std::string out(cipher.size(), '\0');
  std::uint16_t k = kStartKey;
  for (size_t i = 0; i < cipher.size(); ++i) {
    auto c = static_cast<unsigned char>(cipher[i]);
    out[i] = static_cast<char>(c ^ (k >> 8));
    k = advance(k, c);
  }
  return out;
}

std::string encodeStoredAPIKey(std::string_view plainKey) { return base64Encode(encipherBytes(plainKey)); }

}  // namespace kn
