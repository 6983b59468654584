#include "PackageSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "KNFd.h"

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

// The file's bytes mapped for reading; an empty file maps to nothing.
class Mapping {
 public:
  Mapping(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
      throw ESignatureError("Cannot check the package signature: cannot read " + path);
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ == 0) return;
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (p == MAP_FAILED)
      throw ESignatureError("Cannot check the package signature: cannot map " + path + ": " +
                            std::strerror(errno));
    data_ = static_cast<const unsigned char*>(p);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
  }
  const unsigned char* data() const { return data_ ? data_ : reinterpret_cast<const unsigned char*>(""); }
  std::size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
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
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > kMaxKeyFile)
    throw ESignatureError("The signature key " + path + " is not a readable file of at most 64 KB");
  std::string pem(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < pem.size()) {
    ssize_t n = ::read(fd.get(), pem.data() + got, pem.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ESignatureError("The signature key " + path + " cannot be read");
    got += static_cast<std::size_t>(n);
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
  Mapping package(packagePath);
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    throw ESignatureError("Cannot check the package signature: the key cannot be used");
  int ok = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), package.data(), package.size());
  if (ok != 1) throw ESignatureError("The package signature is wrong: the package is not the publisher's");
}

}  // namespace kn
