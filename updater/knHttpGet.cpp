#include "knHttpGet.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "KNEnv.h"

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

// The one place where libcurl's codes become our exceptions.
[[noreturn]] void throwCurlError(CURLcode code, const char* detail, const std::string& url) {
  std::string msg = "HTTP GET " + url + " failed: ";
  msg += (detail && *detail) ? detail : curl_easy_strerror(code);
  throw EHttpError(msg);
}

CurlHandle newHandle(const std::string& url) {
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
  curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_TIME, seconds(scaled(120s)));
  return h;
}

void perform(CURL* h, const std::string& url) {
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  CURLcode rc = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK) throwCurlError(rc, detail, url);
}

size_t appendToString(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

size_t appendToFile(char* data, size_t size, size_t n, void* out) {
  return std::fwrite(data, 1, size * n, static_cast<std::FILE*>(out));
}

}  // namespace

std::string httpGetText(const std::string& url) {
  CurlHandle h = newHandle(url);
  std::string body;
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body);
  perform(h.get(), url);
  return body;
}

void httpGetToFile(const std::string& url, const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw EHttpError("Cannot create " + path);
  CurlHandle h = newHandle(url);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendToFile);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, file.get());
  curl_easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);
  perform(h.get(), url);
  // Redirects are not followed, so a 3xx body is a page about the package, not the package.
  long status = 0;
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299)
    throw EHttpError("HTTP GET " + url + " failed: status " + std::to_string(status));
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) throw EHttpError("Cannot write " + path);
}

}  // namespace kn
