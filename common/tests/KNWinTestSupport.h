// Windows only: helpers of the tests that stand on the real system's facilities (registry, service
// manager, security), under Wine in the build and on Windows alike.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <random>
#include <string>

namespace kn::test {

// True under Wine, whose ntdll exports wine_get_version. A check that only real Windows can pass
// skips there, saying why.
inline bool runningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// `prefix` and eight random hex digits: a registry key or service name of this run alone, so that
// tests running side by side (and leftovers of an aborted run) never meet.
inline std::string uniqueName(const std::string& prefix) {
  std::random_device random;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(random()));
  return prefix + digits;
}

// The path with "\" separators, as the system spells the paths it gives back.
inline std::string backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// A test's certificate authority (PEM) in the current user's trusted roots for one scope (link
// crypt32).
class TrustedAuthority {
 public:
  explicit TrustedAuthority(const std::string& pem) {
    DWORD size = 0;
    ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
    std::string der(size, '\0');
    ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()), &size,
                           nullptr, nullptr);
    store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
    if (store_)
      ::CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size,
                                         CERT_STORE_ADD_REPLACE_EXISTING, &cert_);
  }
  ~TrustedAuthority() {
    if (cert_) ::CertDeleteCertificateFromStore(cert_);  // frees it too
    if (store_) ::CertCloseStore(store_, 0);
  }
  bool added() const { return cert_ != nullptr; }

 private:
  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT cert_ = nullptr;
};

}  // namespace kn::test
