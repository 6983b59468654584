#include "ext.channel.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "KNConfig.h"
#include "KNEnv.h"
#include "KNTextCodec.h"
#include "KNVersion.h"
#include "ext.asciijson.h"
#include "knLOG2.h"

namespace kn {
namespace {

constexpr const char* kJsonContentType = "Content-Type: application/json; charset=utf-8;";
constexpr std::chrono::milliseconds kConnectTimeout{30'000};
constexpr std::chrono::milliseconds kStallLimit{120'000};
constexpr size_t kErrorBodyCap = 64 * 1024;  // what a failed download keeps of the error page

struct GlobalState {
  std::mutex lock;
  std::string endpoint;
  std::string cafile;
  std::unique_ptr<TExtChannel> instance;
};

GlobalState& globals() {
  static GlobalState g;
  return g;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string headerName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The host part of `url` ("" when it has none), for the cookies the channel files under it.
std::string hostOf(const std::string& url) {
  std::string host;
  if (CURLU* u = curl_url()) {
    char* h = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK)
      host = h;
    curl_free(h);
    curl_url_cleanup(u);
  }
  return host;
}

// Latin-1 bytes as UTF-8.
std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) appendUtf8(out, c);
  return out;
}

// Windows-1252 bytes as UTF-8: Latin-1 but for 0x80..0x9F, where the five bytes the code page
// leaves undefined keep their own code.
std::string cp1252ToUtf8(std::string_view bytes) {
  static constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                         0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) appendUtf8(out, c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c);
  return out;
}

// The reply body as UTF-8 text, following the charset its content type declares.
std::string decodeReply(const std::string& body, std::string_view contentType) {
  auto pos = contentType.find("charset=");
  if (pos != std::string_view::npos) {
    std::string_view cs = contentType.substr(pos + 8);
    cs = cs.substr(0, cs.find_first_of("; "));
    if (!cs.empty() && cs.front() == '"') cs = cs.substr(1, cs.find('"', 1) - 1);
    if (equalsNoCase(cs, "iso-8859-1") || equalsNoCase(cs, "latin1")) return latin1ToUtf8(body);
    if (equalsNoCase(cs, "windows-1252") || equalsNoCase(cs, "cp1252")) return cp1252ToUtf8(body);
  }
  return decodeText(body);
}

// What one request needs on top of the handle, and what it collects.
struct Transfer {
  std::string body;              // the reply body (or the error page of a download)
  std::ostream* sink = nullptr;  // downloads: where a 2xx body goes
  bool sinkFailed = false;
  std::chrono::milliseconds stallLimit{};
  std::chrono::steady_clock::time_point lastMove{};
  curl_off_t lastBytes = -1;
  bool stalled = false;
  bool stopped = false;
};

std::atomic<const std::atomic<bool>*> gStopFlag{nullptr};

bool stopRequested() {
  const std::atomic<bool>* flag = gStopFlag.load();
  return flag && flag->load();
}

}  // namespace

struct TExtChannel::Impl {
  CURL* easy = nullptr;
  std::string host;
  std::string defaultCAInfo;  // libcurl's own bundle, restored when the channel's CA file is cleared
  char errbuf[CURL_ERROR_SIZE] = {};
  TExtChannel* owner = nullptr;

  Impl() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK) throw Exception("libcurl could not be initialised");
    easy = curl_easy_init();
    if (!easy) throw Exception("libcurl could not create a handle");
    char* ca = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &ca) == CURLE_OK && ca) defaultCAInfo = ca;
  }
  ~Impl() { curl_easy_cleanup(easy); }

  // libcurl's errors become the channel's, here and nowhere else.
  [[noreturn]] void throwTransportError(CURLcode rc, const Transfer& t) const {
    if (t.stopped) throw EExtCommunicationError("Communication error: the exchange was stopped");
    if (t.stalled)
      throw EExtCommunicationError("Communication error: no data moved for " +
                                   std::to_string(t.stallLimit.count()) + " ms, transfer abandoned");
    if (rc == CURLE_WRITE_ERROR && t.sinkFailed) throw Exception("Download could not be written");
    std::string msg = errbuf[0] ? errbuf : curl_easy_strerror(rc);
    throw EExtCommunicationError("Communication error: " + msg);
  }

  static size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Impl*>(user);
    auto* t = self->current;
    size_t n = size * count;
    if (t->sink) {
      long status = 0;
      curl_easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &status);
      if (status >= 200 && status <= 299) {
        t->sink->write(data, static_cast<std::streamsize>(n));
        if (!*t->sink) {
          t->sinkFailed = true;
          return 0;
        }
        return n;
      }
      if (t->body.size() < kErrorBodyCap) t->body.append(data, std::min(n, kErrorBodyCap - t->body.size()));
      return n;
    }
    t->body.append(data, n);
    return n;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void*) {
    size_t n = size * count;
    std::string_view line(data, n);
    if (startsWithNoCase(line, "set-cookie:")) {
      line.remove_prefix(11);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
      logTo("sess", "NEW COOKIE [" + std::string(line) + "]");
    }
    return n;
  }

  static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* t = static_cast<Impl*>(user)->current;
    if (stopRequested()) {
      t->stopped = true;
      return 1;
    }
    auto now = std::chrono::steady_clock::now();
    if (dlnow + ulnow != t->lastBytes) {
      t->lastBytes = dlnow + ulnow;
      t->lastMove = now;
      return 0;
    }
    if (now - t->lastMove < t->stallLimit) return 0;
    t->stalled = true;
    return 1;
  }

  static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* owner = static_cast<Impl*>(user)->owner;
    std::string_view bytes(data, size);
    if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) owner->interceptSend(bytes);
    if (type == CURLINFO_HEADER_IN || type == CURLINFO_DATA_IN) owner->interceptReceive(bytes);
    return 0;
  }

  // Runs one request whose method and body the caller has set; returns the HTTP status.
  long perform(Transfer& t, curl_slist* headers) {
    const TExtChannel& ch = *owner;
    errbuf[0] = 0;
    if (stopRequested()) throw EExtCommunicationError("Communication error: the exchange was stopped");
    current = &t;
    t.stallLimit = ch.stallLimit_;
    t.lastMove = std::chrono::steady_clock::now();
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(
        easy, CURLOPT_CAINFO,
        ch.cafile_.empty() ? (defaultCAInfo.empty() ? nullptr : defaultCAInfo.c_str()) : ch.cafile_.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ch.connectTimeout_.count()));
    CURLcode rc = curl_easy_perform(easy);
    current = nullptr;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    if (rc != CURLE_OK) throwTransportError(rc, t);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  // The request headers: the content type given, the custom headers, no "Expect: 100-continue".
  curl_slist* headerList(const char* contentType) const {
    curl_slist* list = nullptr;
    auto add = [&list](const std::string& h) {
      curl_slist* next = curl_slist_append(list, h.c_str());
      if (!next) {
        curl_slist_free_all(list);
        throw std::bad_alloc();
      }
      list = next;
    };
    if (contentType) add(contentType);
    add("Expect:");
    for (const auto& entry : owner->hdr_) {
      auto eq = entry.find('=');
      add(entry.substr(0, eq) + ": " + entry.substr(eq + 1));
    }
    return list;
  }

  std::string contentType() const {
    char* ct = nullptr;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &ct);
    return ct ? ct : "";
  }

  Transfer* current = nullptr;
};

namespace {

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct MimeDeleter {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};

// Detaches a request body (CURLOPT_POSTFIELDS or CURLOPT_MIMEPOST) from the handle when the request
// is over, however it ended, so the handle never keeps a pointer to a body that is gone.
class AttachedBody {
 public:
  AttachedBody(CURL* easy, CURLoption option, const void* body) : easy_(easy), option_(option) {
    curl_easy_setopt(easy_, option_, body);
  }
  ~AttachedBody() { curl_easy_setopt(easy_, option_, nullptr); }
  AttachedBody(const AttachedBody&) = delete;
  AttachedBody& operator=(const AttachedBody&) = delete;

 private:
  CURL* easy_;
  CURLoption option_;
};

// Where the account's device id is kept: the per-user store "_devid".
constexpr const char* kDeviceIdName = "_dev\\_id";

[[noreturn]] void throwStatus(long status, const std::string& body) {
  throw EExtCommunicationError("Communication error: " + std::to_string(status) + " " + body);
}

}  // namespace

TExtChannel::TExtChannel(const std::string& aendpoint, const std::string& deviceCookieName)
    : connectTimeout_(scaled(kConnectTimeout)), stallLimit_(scaled(kStallLimit)) {
  cafile_ = globalCAFile();
  if (!deviceCookieName.empty()) {
    devicecookie_ = deviceCookieName;
    deviceid_ = loadDeviceId();
  }
  setEndpoint(aendpoint.empty() ? globalEndpoint() : aendpoint);
  if (!deviceid_.empty()) setHeader("x-CSRFToken", deviceid_);
}

TExtChannel::~TExtChannel() { setIntercept(false); }

void TExtChannel::setEndpoint(const std::string& value) {
  if (http_) throw Exception("Endpoint is already assigned");
  auto http = std::make_unique<Impl>();
  http->owner = this;
  endpoint_ = value;
  url_ = value + "/app.direct";
  http->host = hostOf(value);
  CURL* e = http->easy;
  curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_USERAGENT, userAgent().c_str());
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, http->errbuf);
  // Every https exchange: TLS 1.0 to 1.2, the server's certificate and name verified.
  curl_easy_setopt(
      e, CURLOPT_SSLVERSION,
      static_cast<long>(CURL_SSLVERSION_TLSv1_0) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::onWrite);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, http.get());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, http.get());
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");  // the cookie engine, in memory only
  logMsg("url: " + url_);
  if (!devicecookie_.empty() && !http->host.empty()) {
    logTo("sess", "Cookie AddServerCookie " + devicecookie_ + "=" + deviceid_);
    // Host-only, no expiry: as if the endpoint's server had set it.
    std::string line = http->host + "\tFALSE\t/\tFALSE\t0\t" + devicecookie_ + "\t" + deviceid_;
    curl_easy_setopt(e, CURLOPT_COOKIELIST, line.c_str());
  }
  http_ = std::move(http);
}

nlohmann::json TExtChannel::handleReply(const std::string& body, const std::string& contentType) {
  auto reply = nlohmann::json::parse(decodeReply(body, contentType), nullptr, false);
  if (!reply.is_object()) {
    constexpr size_t kShown = 200;
    std::string shown = body.substr(0, kShown) + (body.size() > kShown ? "..." : "");
    throw EExtCommunicationError("Communication error: the reply is not a JSON object: " + shown);
  }
  auto type = reply.find("type");
  if (type != reply.end() && type->is_string() && type->get_ref<const std::string&>() == "exception") {
    auto msg = reply.find("message");
    if (msg == reply.end() || msg->is_null()) throw EExtError("");
    throw EExtError(msg->is_string() ? msg->get<std::string>() : msg->dump());
  }
  auto result = reply.find("result");
  return result == reply.end() ? nlohmann::json() : std::move(*result);
}

nlohmann::json TExtChannel::invoke(const std::string& api, const std::string& method,
                                   const nlohmann::json& params) {
  ++tid_;
  Slist headers(http_->headerList(kJsonContentType));
  Transfer t;
  long status;
  {
    std::string body = buildEnvelope(api, method, tid_, params);
    CURL* e = http_->easy;
    curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    AttachedBody attached(e, CURLOPT_POSTFIELDS, body.data());  // not copied: `body` outlives it
    status = http_->perform(t, headers.get());
  }
  if (status < 200 || status > 299) throwStatus(status, t.body);
  return handleReply(t.body, http_->contentType());
}

nlohmann::json TExtChannel::invokeFileUpload(const std::string& api, const std::string& method,
                                             const nlohmann::json& params, const std::string& filename) {
  ++tid_;
  std::error_code ec;
  auto size = std::filesystem::file_size(filename, ec);
  if (ec) throw Exception("File Not Found [" + filename + "]");
  CURL* e = http_->easy;
  std::unique_ptr<curl_mime, MimeDeleter> form(curl_mime_init(e));
  auto field = [&](const std::string& name, const std::string& value) {
    curl_mimepart* part = curl_mime_addpart(form.get());
    curl_mime_name(part, name.c_str());
    curl_mime_data(part, value.data(), value.size());
  };
  if (params.is_object())
    for (const auto& [name, value] : params.items())
      field(name, value.is_string() ? value.get<std::string>()
                                    : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  field("extAction", api + "API");
  field("extMethod", method);
  field("extType", "rpc");
  field("extTID", std::to_string(tid_));
  field("extUpload", "true");
  field("extDontEncode", "true");
  field("MAX_FILE_SIZE", std::to_string(size + 1000000));
  curl_mimepart* file = curl_mime_addpart(form.get());
  curl_mime_name(file, "Filedata");
  if (curl_mime_filedata(file, filename.c_str()) != CURLE_OK)
    throw Exception("File Not Found [" + filename + "]");
  curl_mime_type(file, "application/octet-stream");
  field("r-uredad-ove", exeName() + "/" + ownVersion());
  field("dimmy", "x");

  Slist headers(http_->headerList(nullptr));
  Transfer t;
  curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
  long status;
  {
    AttachedBody attached(e, CURLOPT_MIMEPOST, form.get());
    status = http_->perform(t, headers.get());
  }
  if (status < 200 || status > 299) throwStatus(status, t.body);
  return handleReply(t.body, http_->contentType());
}

void TExtChannel::doDownloadToStream(const std::string& url, std::ostream& dest) {
  Slist headers(http_->headerList(nullptr));
  Transfer t;
  t.sink = &dest;
  CURL* e = http_->easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  long status = http_->perform(t, headers.get());
  if (status < 200 || status > 299) throwStatus(status, t.body);
}

void TExtChannel::doDownload(const std::string& url, const std::string& destFn) {
  std::error_code ec;
  std::filesystem::remove(destFn, ec);
  std::ofstream out(destFn, std::ios::binary | std::ios::trunc);
  if (!out) throw Exception("Cannot create file [" + destFn + "]");
  doDownloadToStream(url, out);
  out.close();
  if (!out) throw Exception("Cannot write file [" + destFn + "]");
}

void TExtChannel::setHeader(const std::string& hdrname, const std::string& value) {
  // A line break would end the header and let the value smuggle its own headers in.
  if (hdrname.empty() || hdrname.find_first_of("\r\n:=") != std::string::npos ||
      value.find_first_of("\r\n") != std::string::npos)
    throw Exception("Invalid header [" + hdrname + "]");
  auto it = std::find_if(hdr_.begin(), hdr_.end(),
                         [&](const std::string& e) { return equalsNoCase(headerName(e), hdrname); });
  if (value.empty()) {
    if (it != hdr_.end()) hdr_.erase(it);
  } else if (it != hdr_.end()) {
    *it = hdrname + "=" + value;
  } else {
    hdr_.push_back(hdrname + "=" + value);
  }
}

std::unique_ptr<TExtChannel> TExtChannel::createClone() const {
  auto copy = std::make_unique<TExtChannel>(endpoint_, "");
  copy->cafile_ = cafile_;
  copy->connectTimeout_ = connectTimeout_;
  copy->stallLimit_ = stallLimit_;
  for (const auto& entry : hdr_) {
    auto eq = entry.find('=');
    copy->setHeader(entry.substr(0, eq), entry.substr(eq + 1));
  }
  curl_slist* cookies = nullptr;
  if (curl_easy_getinfo(http_->easy, CURLINFO_COOKIELIST, &cookies) == CURLE_OK) {
    for (curl_slist* c = cookies; c; c = c->next)
      curl_easy_setopt(copy->http_->easy, CURLOPT_COOKIELIST, c->data);
    curl_slist_free_all(cookies);
  }
  return copy;
}

std::string TExtChannel::getCookie(const std::string& s) const {
  if (!http_) throw Exception("Cookie manager was not created. Please assign the endpoint first.");
  curl_slist* cookies = nullptr;
  if (curl_easy_getinfo(http_->easy, CURLINFO_COOKIELIST, &cookies) != CURLE_OK) return "";
  std::string value;
  // Netscape lines: domain, subdomains, path, secure, expiry, name, value.
  for (curl_slist* c = cookies; c && value.empty(); c = c->next) {
    std::vector<std::string_view> f;
    std::string_view line(c->data);
    for (size_t pos = 0;;) {
      size_t tab = line.find('\t', pos);
      f.push_back(line.substr(pos, tab - pos));
      if (tab == std::string_view::npos) break;
      pos = tab + 1;
    }
    if (f.size() < 7 || f[5] != s) continue;
    std::string_view domain = f[0];
    if (domain.starts_with("#HttpOnly_")) domain.remove_prefix(10);
    if (domain.starts_with('.')) domain.remove_prefix(1);
    if (equalsNoCase(domain, http_->host)) value = f[6];
  }
  curl_slist_free_all(cookies);
  return value;
}

void TExtChannel::setCookie(const std::string&, const std::string&) {
  throw Exception("manual Cookies support not implemented");
}

void TExtChannel::setIntercept(bool value) {
  if (value == intercept_ || !http_) return;
  intercept_ = value;
  CURL* e = http_->easy;
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, value ? &Impl::onDebug : nullptr);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, value ? http_.get() : nullptr);
  curl_easy_setopt(e, CURLOPT_VERBOSE, value ? 1L : 0L);
}

void TExtChannel::interceptReceive(std::string_view) {}
void TExtChannel::interceptSend(std::string_view) {}

void TExtChannel::setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds stall) {
  connectTimeout_ = connect;
  stallLimit_ = stall;
}

void TExtChannel::setGlobalEndpoint(const std::string& aendpoint) {
  std::lock_guard lock(globals().lock);
  globals().endpoint = aendpoint;
}

std::string TExtChannel::globalEndpoint() {
  std::lock_guard lock(globals().lock);
  return globals().endpoint;
}

void TExtChannel::setGlobalInstance(std::unique_ptr<TExtChannel> x) {
  std::unique_ptr<TExtChannel> previous;
  std::lock_guard lock(globals().lock);
  if (x.get() == globals().instance.get()) {
    x.release();  // already ours
    return;
  }
  previous = std::move(globals().instance);
  globals().instance = std::move(x);
}

TExtChannel* TExtChannel::getGlobalInstance() {
  std::lock_guard lock(globals().lock);
  return globals().instance.get();
}

void TExtChannel::setGlobalCAFile(const std::string& path) {
  std::lock_guard lock(globals().lock);
  globals().cafile = path;
}

std::string TExtChannel::globalCAFile() {
  std::lock_guard lock(globals().lock);
  return globals().cafile;
}

void TExtChannel::setStopFlag(const std::atomic<bool>* flag) { gStopFlag = flag; }

std::string TExtChannel::buildEnvelope(const std::string& api, const std::string& method, int32_t tid,
                                       const nlohmann::json& params) {
  std::string action = api + "API";
  char tidText[16];
  size_t tidLen = static_cast<size_t>(std::to_chars(tidText, tidText + sizeof tidText, tid).ptr - tidText);
  static constexpr std::string_view kAction = "{\"action\":", kData = ",\"data\":", kMethod = ",\"method\":",
                                    kTid = ",\"tid\":", kType = ",\"type\":\"rpc\"}";
  size_t size = kAction.size() + asciiEscapedSize(action) + 2 + kData.size() + asciiJsonSize(params) +
                kMethod.size() + asciiEscapedSize(method) + 2 + kTid.size() + tidLen + kType.size();
  std::string out(size, '\0');
  char* p = out.data();
  auto put = [&p](std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
  };
  put(kAction);
  p = writeAsciiString(p, action);
  put(kData);
  p = writeAsciiJson(p, params);
  put(kMethod);
  p = writeAsciiString(p, method);
  put(kTid);
  put({tidText, tidLen});
  put(kType);
  return out;
}

std::string TExtChannel::bytesToString(const std::vector<uint8_t>& b) {
  return latin1ToUtf8({reinterpret_cast<const char*>(b.data()), b.size()});
}

std::string TExtChannel::newDeviceId() {
  // Seeded once per process; the clock alone would give two machines started in the same
  // second the same id, so the system's entropy is mixed in.
  static std::mutex lock;
  static std::mt19937_64 rng(
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::string id = std::to_string(static_cast<long long>(now) + local.tm_gmtoff) + ".win32";
  std::lock_guard guard(lock);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 6; ++i) id += std::to_string(1000 + std::lround(unit(rng) * 8999));
  return id;
}

std::string TExtChannel::loadDeviceId() {
  TKNConfig store("_devid");
  store.RootKey = HKEY_CURRENT_USER;
  store.LoadData();
  std::string id = store.Get(kDeviceIdName);
  if (!id.empty()) {
    logObj("TExtChannel", this, "deviceid " + devicecookie_ + "=" + id);
    return id;
  }
  id = newDeviceId();
  store.Put(kDeviceIdName, id);
  store.SaveData();
  logObj("TExtChannel", this, "new deviceid " + devicecookie_ + "=" + id);
  return id;
}

std::string TExtChannel::userAgent() { return "Kestrane (" + exeName() + "/" + ownVersion() + "; win32)"; }

}  // namespace kn
