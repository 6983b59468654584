#include "PackageSignature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <optional>

#include "KNOs.h"
#include "MappedFile.h"

namespace kn {
namespace {

constexpr std::size_t kMaxKeyFile = 64 * 1024;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::unique_ptr<EVP_PKEY, PkeyFree> parseKey(const std::string& pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw ESignatureError("Cannot check the package signature: out of memory");
  std::unique_ptr<EVP_PKEY, PkeyFree> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
    throw ESignatureError("The signature key is not a PEM Ed25519 public key");
  return key;
}

}  // namespace

std::string loadPublicKey(const std::string& path) {
  std::string pem;
  try {
    pem = os().readFile(path, kMaxKeyFile);
  } catch (const EOSError&) {
    throw ESignatureError("The signature key " + path + " is not a readable file of at most 64 KB");
  }
  parseKey(pem);
  return pem;
}

void verifyPackageSignature(const std::string& packagePath, const std::string& signature,
                            const std::string& publicKeyPem) {
  if (signature.size() != kSignatureBytes)
    throw ESignatureError("The package signature is malformed: " + std::to_string(signature.size()) +
                          " bytes instead of 64");
  auto key = parseKey(publicKeyPem);
  std::optional<MappedFile> package;
  try {
    package.emplace(packagePath);
  } catch (const EOSError& e) {
    throw ESignatureError(std::string("Cannot check the package signature: ") + e.what());
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    throw ESignatureError("Cannot check the package signature: the key cannot be used");
  int ok = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), package->data(), package->size());
  if (ok != 1) throw ESignatureError("The package signature is wrong: the package is not the publisher's");
}

}  // namespace kn
