#include "KNBase64.h"

#include <array>

#include "KNException.h"

namespace kn {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> makeTable() {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  return t;
}
constexpr auto kTable = makeTable();

// Appends the bytes of a run of 6-bit values; a partial last byte is dropped.
struct BitSink {
  std::string& out;
  unsigned acc = 0;
  int bits = 0;
  void push(unsigned v) {
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
};

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  if (size_t rest = bytes.size() - i) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string base64Decode(std::string_view text) {
  const Exception bad("Base64: Incorrect string format");
  if (text.size() % 4 != 0) throw bad;
  size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  BitSink sink{out};
  for (size_t i = 0; i < text.size() - pad; ++i) {
    signed char v = kTable[static_cast<unsigned char>(text[i])];
    if (v < 0) throw bad;
    sink.push(static_cast<unsigned>(v));
  }
  return out;
}

std::string base64DecodeLenient(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  BitSink sink{out};
  for (char c : text) {
    signed char v = kTable[static_cast<unsigned char>(c)];
    if (v >= 0) sink.push(static_cast<unsigned>(v));
  }
  return out;
}

}  // namespace kn
