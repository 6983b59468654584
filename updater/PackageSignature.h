// Proof that a package comes from its publisher: a detached Ed25519 signature over the package's
// exact bytes, checked with the publisher's public key before anything of the package is read.
// The signature is the raw 64 bytes that `openssl pkeyutl -sign -rawin` writes. Stateless; any
// thread may call.
#pragma once

#include <cstddef>
#include <string>

#include "KNException.h"

namespace kn {

// A missing, malformed or wrong signature, or a public key that cannot be used. Every message
// holds the word "signature".
KN_DECLARE_EXCEPTION(ESignatureError, Exception);

// The size of a raw Ed25519 signature, and the most a signature download may bring.
inline constexpr std::size_t kSignatureBytes = 64;
inline constexpr std::size_t kMaxSignatureDownload = 4096;

// Reads the PEM public key file at `path` (a regular file of at most 64 KB) and checks that it
// holds an Ed25519 key. Returns the PEM text. Throws ESignatureError.
std::string loadPublicKey(const std::string& path);

// Checks `signature` over the bytes of the file `packagePath` with the PEM key `publicKeyPem`.
// Returns normally only for a good signature; throws ESignatureError otherwise.
void verifyPackageSignature(const std::string& packagePath, const std::string& signature,
                            const std::string& publicKeyPem);

}  // namespace kn
