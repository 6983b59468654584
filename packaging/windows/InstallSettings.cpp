#include "InstallSettings.h"

#include <nlohmann/json.hpp>

#include "KNBase64.h"
#include "KNException.h"
#include "KNJsonParse.h"
#include "KNLib.h"
#include "KNNameValueList.h"
#include "KNTextCodec.h"

namespace kn::setup {
namespace {

constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";
// The DER of an Ed25519 public key: SubjectPublicKeyInfo with the algorithm 1.3.101.112 and a bit
// string of 32 bytes, which follow these 12.
constexpr std::string_view kEd25519Prefix{"\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12};
constexpr size_t kEd25519DerSize = 44;

void requireServerUrl(const char* property, std::string_view url) {
  if (!isServerUrl(url))
    throw Exception(std::string(property) + " is not an http or https URL: " + std::string(url));
}

bool isBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '=';
}

std::string withoutWhiteSpace(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

}  // namespace

std::string defaultUpdaterConfig() {
  return "{\n"
         "  \"name\": \"KestraneUpdater\",\n"
         "  \"descr\": \"Keeps the Kestrane agent beside it up to date\",\n"
         "  \"services\": [\n"
         "    { \"exe\": \"auditagent.exe\", \"appid\": \"zarodirazev\", \"service\": \"ZARODIRazev\", "
         "\"interval\": 60 }\n"
         "  ]\n"
         "}\n";
}

std::string endpointWithUrl(std::string_view endpointIni, std::string_view url) {
  requireServerUrl("URL", url);
  TNameValueList lines;
  lines.loadFromText(decodeText(endpointIni));
  lines.setValue("url", url);
  return lines.text();
}

std::string updaterConfigWith(std::string_view config, std::string_view updateUrl,
                              std::string_view publicKeyFile) {
  if (!updateUrl.empty()) requireServerUrl("UPDATEURL", updateUrl);
  const std::string text = config.empty() ? defaultUpdaterConfig() : std::string(config);
  if (updateUrl.empty() && publicKeyFile.empty()) return text;
  JsonParseResult parsed = parseJsonBounded(text, {.maxDepth = 64, .maxCost = 16 << 20, .comments = true});
  if (parsed.outcome != JsonParseOutcome::Ok || !parsed.value.is_object())
    throw Exception(
        "the updater's configuration is not a JSON object; correct or remove it, then install again");
  nlohmann::json& cf = parsed.value;
  if (!updateUrl.empty()) cf["updateurl"] = std::string(updateUrl);
  if (!publicKeyFile.empty()) cf["publickey"] = std::string(publicKeyFile);
  return cf.dump(2) + "\n";
}

bool isInlinePublicKey(std::string_view value) {
  if (value.size() != 60) return false;
  for (char c : value)
    if (!isBase64Char(c)) return false;
  return true;
}

std::string ed25519PublicKeyPem(std::string_view base64OrPem) {
  std::string_view body = base64OrPem;
  if (size_t begin = base64OrPem.find(kPemBegin); begin != std::string_view::npos) {
    const size_t from = begin + kPemBegin.size();
    const size_t end = base64OrPem.find(kPemEnd, from);
    if (end == std::string_view::npos) throw Exception("the public key's PEM text has no end line");
    if (base64OrPem.find(kPemBegin, end) != std::string_view::npos)
      throw Exception("the public key's PEM text holds more than one key");
    body = base64OrPem.substr(from, end - from);
  } else if (base64OrPem.find("-----BEGIN") != std::string_view::npos) {
    throw Exception("the PEM text holds no public key (\"" + std::string(kPemBegin) + "\")");
  }
  std::string der;
  try {
    der = base64Decode(withoutWhiteSpace(body));
  } catch (const std::exception&) {
    throw Exception("the public key is not Base64 text");
  }
  if (der.size() != kEd25519DerSize || der.compare(0, kEd25519Prefix.size(), kEd25519Prefix) != 0)
    throw Exception("the public key is not an Ed25519 public key");
  return std::string(kPemBegin) + "\n" + base64Encode(der) + "\n" + std::string(kPemEnd) + "\n";
}

}  // namespace kn::setup
