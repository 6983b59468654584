#include "knHttpGet.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "KNCurlError.h"
#include "KNEnv.h"
#include "UpdateStop.h"

namespace kn {
namespace {

using namespace std::chrono_literals;

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// libcurl's codes become EHttpError here; their text comes from KNCurlError.h.
[[noreturn]] void throwCurlError(CURLcode code, const char* detail, const std::string& url) {
  throwCurlFailure<EHttpError>("HTTP GET " + url + " failed: ", code, detail, curl_easy_strerror);
}

// libcurl calls it at least once a second, also while nothing moves; non-zero abandons the exchange.
int abandonOnStop(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

CurlHandle newHandle(const std::string& url, const std::stop_token& stop) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CurlHandle h(curl_easy_init());
  if (!h) throw EHttpError("HTTP GET " + url + " failed: no libcurl handle");
  auto seconds = [](std::chrono::milliseconds d) {
    return static_cast<long>(
        std::max<long long>(1, std::chrono::duration_cast<std::chrono::seconds>(d).count()));
  };
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(scaled(30s).count()));
  curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_LIMIT, 100L);
  curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_TIME, seconds(scaled(120s)));
  curl_easy_setopt(h.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h.get(), CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  // Windows' TLS also asks whether the certificate was revoked: a certificate known to be revoked
  // is refused, but a revocation list that cannot be fetched (a closed network, an authority that
  // publishes none) does not stop the update. OpenSSL's TLS does not ask.
  curl_easy_setopt(h.get(), CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  curl_easy_setopt(h.get(), CURLOPT_XFERINFOFUNCTION, abandonOnStop);
  curl_easy_setopt(h.get(), CURLOPT_XFERINFODATA, &stop);
  curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 0L);
  return h;
}

// Runs the exchange; a stop requested meanwhile throws EUpdateStopped, whatever came in.
void perform(CURL* h, const std::string& url, const std::stop_token& stop) {
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  CURLcode rc = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  throwIfStopped(stop);
  if (rc != CURLE_OK) throwCurlError(rc, detail, url);
}

// Where a body goes and how much of it may come. A write callback that returns less than it was
// given makes libcurl abandon the exchange.
struct StringSink {
  std::string* body;
  std::size_t limit;
  bool over = false;
};

struct FileSink {
  std::FILE* file;
  std::uint64_t limit;
  std::uint64_t written = 0;
  bool over = false;
};

size_t appendToString(char* data, size_t size, size_t n, void* out) {
  auto* sink = static_cast<StringSink*>(out);
  size_t bytes = size * n;
  if (bytes > sink->limit - sink->body->size()) {
    sink->over = true;
    return 0;
  }
  sink->body->append(data, bytes);
  return bytes;
}

size_t appendToFile(char* data, size_t size, size_t n, void* out) {
  auto* sink = static_cast<FileSink*>(out);
  size_t bytes = size * n;
  if (bytes > sink->limit - sink->written) {
    sink->over = true;
    return 0;
  }
  sink->written += bytes;
  return std::fwrite(data, 1, bytes, sink->file);
}

[[noreturn]] void throwTooLarge(const std::string& url, std::uint64_t limit) {
  throw EHttpError("HTTP GET " + url + " failed: the answer is larger than " + std::to_string(limit) +
                   " bytes");
}

void requireSuccess(CURL* h, const std::string& url) {
  // Redirects are not followed, so a 3xx body is a page about the resource, not the resource.
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299)
    throw EHttpError("HTTP GET " + url + " failed: status " + std::to_string(status));
}

std::string getBody(const std::string& url, std::size_t maxBytes, bool success, const std::stop_token& stop) {
  CurlHandle h = newHandle(url, stop);
  std::string body;
  StringSink sink{&body, maxBytes};
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
  if (success) curl_easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);
  try {
    perform(h.get(), url, stop);
  } catch (const EHttpError&) {
    if (sink.over) throwTooLarge(url, maxBytes);
    throw;
  }
  if (success) requireSuccess(h.get(), url);
  return body;
}

}  // namespace

std::string httpGetText(const std::string& url, std::size_t maxBytes, const std::stop_token& stop) {
  return getBody(url, maxBytes, false, stop);
}

std::string httpGetSmall(const std::string& url, std::size_t maxBytes, const std::stop_token& stop) {
  return getBody(url, maxBytes, true, stop);
}

void httpGetToFile(const std::string& url, const std::string& path, std::uint64_t maxBytes,
                   const std::stop_token& stop) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw EHttpError("Cannot create " + path);
  CurlHandle h = newHandle(url, stop);
  FileSink sink{file.get(), maxBytes};
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendToFile);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);
  try {
    perform(h.get(), url, stop);
  } catch (const EHttpError&) {
    if (sink.over) throwTooLarge(url, maxBytes);
    throw;
  }
  requireSuccess(h.get(), url);
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) throw EHttpError("Cannot write " + path);
}

}  // namespace kn
