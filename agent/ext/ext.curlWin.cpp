// libcurl linked statically (Schannel for TLS); its functions handed out as the Linux build's
// dlopen half hands out those of the shared library. The audit child of the Windows build is the
// same executable, so the linked library costs it only the pages it never touches.
#include "ext.curl.h"

namespace kn::curl {

void loadLibrary(Library& f, std::string&) {
  f.global_init = ::curl_global_init;
  f.free = ::curl_free;
  f.easy_init = ::curl_easy_init;
  f.easy_setopt = ::curl_easy_setopt;
  f.easy_getinfo = ::curl_easy_getinfo;
  f.easy_perform = ::curl_easy_perform;
  f.easy_cleanup = ::curl_easy_cleanup;
  f.easy_strerror = ::curl_easy_strerror;
  f.share_init = ::curl_share_init;
  f.share_setopt = ::curl_share_setopt;
  f.share_cleanup = ::curl_share_cleanup;
  f.slist_append = ::curl_slist_append;
  f.slist_free_all = ::curl_slist_free_all;
  f.mime_init = ::curl_mime_init;
  f.mime_addpart = ::curl_mime_addpart;
  f.mime_name = ::curl_mime_name;
  f.mime_type = ::curl_mime_type;
  f.mime_data = ::curl_mime_data;
  f.mime_filedata = ::curl_mime_filedata;
  f.mime_free = ::curl_mime_free;
  f.url = ::curl_url;
  f.url_set = ::curl_url_set;
  f.url_get = ::curl_url_get;
  f.url_cleanup = ::curl_url_cleanup;
}

// Schannel: the versions allowed are the channel's, the algorithms Windows' own; the certificate
// store is the machine's.
TlsBackend tlsBackend() { return {nullptr, true}; }

}  // namespace kn::curl
