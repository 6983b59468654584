// libcurl, opened when the first channel is made instead of linked into the program (on Linux;
// a Windows build links it statically and hands out its functions the same way).
//
// The agent starts itself again, with an internal switch, for every full audit, and that child never
// speaks HTTP. Linked, libcurl and the two dozen libraries it pulls in (TLS, Kerberos, LDAP, SSH,
// IDN...) are mapped and relocated at every start of the child: about 18 ms and 500 page faults on a
// small virtual machine, a fifth of the audit. Opened here, only the service pays for them, once.
//
// The functions keep libcurl's names and signatures under the namespace `kn::curl`
// (`curl::easy_setopt` for `curl_easy_setopt`); the header's types and constants are libcurl's own.
// On Linux the first call loads "libcurl.so.4"; when it cannot be loaded or lacks a function, every call
// throws kn::Exception "libcurl could not be loaded: <reason>", so making a channel fails the way
// a libcurl that cannot be initialised makes it fail. Loading is thread-safe and happens once per
// process.
#pragma once

#include <curl/curl.h>

#include <string>
#include <type_traits>

namespace kn::curl {

struct Library {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_free) free;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_perform) easy_perform;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_share_init) share_init;
  decltype(&::curl_share_setopt) share_setopt;
  decltype(&::curl_share_cleanup) share_cleanup;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_mime_init) mime_init;
  decltype(&::curl_mime_addpart) mime_addpart;
  decltype(&::curl_mime_name) mime_name;
  decltype(&::curl_mime_type) mime_type;
  decltype(&::curl_mime_data) mime_data;
  decltype(&::curl_mime_filedata) mime_filedata;
  decltype(&::curl_mime_free) mime_free;
  decltype(&::curl_url) url;
  decltype(&::curl_url_set) url_set;
  decltype(&::curl_url_get) url_get;
  decltype(&::curl_url_cleanup) url_cleanup;
};

// The loaded library; throws kn::Exception when it cannot be loaded.
const Library& library();

// The platform half: fills `functions` once per process, or says in `error` why it cannot
// ("<library>: <reason>"). Called by library() only.
void loadLibrary(Library& functions, std::string& error);

// What the TLS library below libcurl needs from the channel, one answer per platform half (Linux:
// OpenSSL; Windows: Schannel).
struct TlsBackend {
  // The cipher list that admits TLS 1.0 and 1.1 (whose handshakes sign with SHA-1), or nullptr
  // where the system's own policy decides (Schannel takes no OpenSSL cipher list).
  const char* legacyCiphers;
  // True where the library verifies against the system's own store when it is given no CA file
  // (Schannel); the channel then names none, since a bundle named would be trusted instead.
  bool systemStore;
};
TlsBackend tlsBackend();

inline CURLcode global_init(long flags) { return library().global_init(flags); }
inline void free(void* p) { library().free(p); }
inline CURL* easy_init() { return library().easy_init(); }
// A number goes through "..." at the size libcurl reads for the option: a curl_off_t (64 bits) for
// the *_LARGE options, a long otherwise, whatever the type at the call (an int, an enumerator such
// as CURL_HTTP_VERSION_1_1). long is 64 bits on Linux and 32 on Windows, so neither may stand for
// the other.
template <class T>
CURLcode easy_setopt(CURL* easy, CURLoption option, T value) {
  static_assert(sizeof(curl_off_t) == 8);
  if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB)
      return library().easy_setopt(easy, option, static_cast<curl_off_t>(value));
    return library().easy_setopt(easy, option, static_cast<long>(value));
  } else {
    return library().easy_setopt(easy, option, value);
  }
}
template <class T>
CURLcode easy_getinfo(CURL* easy, CURLINFO info, T* value) {
  return library().easy_getinfo(easy, info, value);
}
inline CURLcode easy_perform(CURL* easy) { return library().easy_perform(easy); }
inline void easy_cleanup(CURL* easy) { library().easy_cleanup(easy); }
inline const char* easy_strerror(CURLcode rc) { return library().easy_strerror(rc); }
inline CURLSH* share_init() { return library().share_init(); }
template <class T>
CURLSHcode share_setopt(CURLSH* share, CURLSHoption option, T value) {
  return library().share_setopt(share, option, value);
}
inline CURLSHcode share_cleanup(CURLSH* share) { return library().share_cleanup(share); }
inline curl_slist* slist_append(curl_slist* list, const char* s) { return library().slist_append(list, s); }
inline void slist_free_all(curl_slist* list) { library().slist_free_all(list); }
inline curl_mime* mime_init(CURL* easy) { return library().mime_init(easy); }
inline curl_mimepart* mime_addpart(curl_mime* mime) { return library().mime_addpart(mime); }
inline CURLcode mime_name(curl_mimepart* part, const char* name) { return library().mime_name(part, name); }
inline CURLcode mime_type(curl_mimepart* part, const char* type) { return library().mime_type(part, type); }
inline CURLcode mime_data(curl_mimepart* part, const char* data, size_t size) {
  return library().mime_data(part, data, size);
}
inline CURLcode mime_filedata(curl_mimepart* part, const char* file) { return library().mime_filedata(part, file); }
inline void mime_free(curl_mime* mime) { library().mime_free(mime); }
inline CURLU* url() { return library().url(); }
inline CURLUcode url_set(CURLU* u, CURLUPart part, const char* content, unsigned flags) {
  return library().url_set(u, part, content, flags);
}
inline CURLUcode url_get(CURLU* u, CURLUPart part, char** content, unsigned flags) {
  return library().url_get(u, part, content, flags);
}
inline void url_cleanup(CURLU* u) { library().url_cleanup(u); }

}  // namespace kn::curl
