// libcurl opened with dlopen; its functions looked up by name.
#include <dlfcn.h>

#include "ext.curl.h"

namespace kn::curl {
namespace {

// The library built against: libcurl4's (the OpenSSL flavour) run-time name.
constexpr const char* kLibraryName = "libcurl.so.4";

// Fills `slot` with the library's function `name`; the first one missing is named in `error`.
template <class F>
void bind(void* handle, const char* name, F& slot, std::string& error) {
  slot = reinterpret_cast<F>(::dlsym(handle, name));
  if (!slot && error.empty()) error = std::string("no function ") + name;
}

}  // namespace

void loadLibrary(Library& f, std::string& e) {
  // Kept open for the life of the process: handles and callbacks outlive any one caller.
  void* handle = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    e = why ? why : kLibraryName;
    return;
  }
  bind(handle, "curl_global_init", f.global_init, e);
  bind(handle, "curl_free", f.free, e);
  bind(handle, "curl_easy_init", f.easy_init, e);
  bind(handle, "curl_easy_setopt", f.easy_setopt, e);
  bind(handle, "curl_easy_getinfo", f.easy_getinfo, e);
  bind(handle, "curl_easy_perform", f.easy_perform, e);
  bind(handle, "curl_easy_cleanup", f.easy_cleanup, e);
  bind(handle, "curl_easy_strerror", f.easy_strerror, e);
  bind(handle, "curl_share_init", f.share_init, e);
  bind(handle, "curl_share_setopt", f.share_setopt, e);
  bind(handle, "curl_share_cleanup", f.share_cleanup, e);
  bind(handle, "curl_slist_append", f.slist_append, e);
  bind(handle, "curl_slist_free_all", f.slist_free_all, e);
  bind(handle, "curl_mime_init", f.mime_init, e);
  bind(handle, "curl_mime_addpart", f.mime_addpart, e);
  bind(handle, "curl_mime_name", f.mime_name, e);
  bind(handle, "curl_mime_type", f.mime_type, e);
  bind(handle, "curl_mime_data", f.mime_data, e);
  bind(handle, "curl_mime_filedata", f.mime_filedata, e);
  bind(handle, "curl_mime_free", f.mime_free, e);
  bind(handle, "curl_url", f.url, e);
  bind(handle, "curl_url_set", f.url_set, e);
  bind(handle, "curl_url_get", f.url_get, e);
  bind(handle, "curl_url_cleanup", f.url_cleanup, e);
  if (!e.empty()) e = std::string(kLibraryName) + ": " + e;
}

// OpenSSL refuses SHA-1 signatures above security level 0; its trust store is a bundle or folder.
TlsBackend tlsBackend() { return {"DEFAULT:@SECLEVEL=0", false}; }

}  // namespace kn::curl
