#include "ext.channel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "KNConfig.h"
#include "KNCurlError.h"
#include "KNEnv.h"
#include "KNLib.h"
#include "KNMemory.h"
#include "KNTextCodec.h"
#include "KNVersion.h"
#include "ext.asciijson.h"
#include "ext.curl.h"
#include "ext.jsontext.h"
#include "ext.replytext.h"
#include "knLOG2.h"
#include "KNPath.h"

namespace kn {
namespace {

constexpr const char* kJsonContentType = "Content-Type: application/json; charset=utf-8;";
constexpr std::chrono::milliseconds kConnectTimeout{30'000};
constexpr std::chrono::milliseconds kStallLimit{120'000};
constexpr std::chrono::milliseconds kRateWindow{120'000};
constexpr curl_off_t kMinBytesPerSecond = 100;
constexpr size_t kErrorBodyCap = 64 * 1024;  // what is kept of an error page; the rest is not read
constexpr size_t kShownBodyChars = 1000;     // what an error message shows of an error page
constexpr size_t kShownReplyChars = 200;     // ... and of a reply that is not a JSON object
constexpr size_t kMaxCookiesPerHost = 50;
constexpr size_t kMaxCookieBytes = 4096;  // name and value together
constexpr size_t kTrimAfterBytes = 4 * 1024 * 1024;

// The authorities trusted when a channel names no CA bundle: libcurl's own (the system's store).
struct SystemTrust {
  std::string cainfo, capath;
};

struct GlobalState {
  std::mutex lock;
  std::string endpoint;
  std::string cafile;
  std::string tlsMin;
  std::unique_ptr<TExtChannel> instance;
  bool trustKnown = false;
  SystemTrust trust;
};

GlobalState& globals() {
  static GlobalState g;
  return g;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && sameTextIgnoringCase(s.substr(0, prefix.size()), prefix);
}

SystemTrust systemTrust(CURL* easy = nullptr) {
  GlobalState& g = globals();
  std::lock_guard lock(g.lock);
  if (!g.trustKnown && easy) {
    char* path = nullptr;
    if (curl::easy_getinfo(easy, CURLINFO_CAINFO, &path) == CURLE_OK && path) g.trust.cainfo = path;
    path = nullptr;
    if (curl::easy_getinfo(easy, CURLINFO_CAPATH, &path) == CURLE_OK && path) g.trust.capath = path;
    g.trustKnown = true;
  }
  return g.trust;
}

std::string headerName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The host part of `url` ("" when it has none), for the cookies the channel files under it.
std::string hostOf(const std::string& url) {
  std::string host;
  if (CURLU* u = curl::url()) {
    char* h = nullptr;
    if (curl::url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl::url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK)
      host = h;
    curl::free(h);
    curl::url_cleanup(u);
  }
  return host;
}

// `url` with the password of its user part written as "***": the log is no place for it.
std::string withoutPassword(std::string_view url) {
  size_t scheme = url.find("://");
  size_t from = scheme == std::string_view::npos ? 0 : scheme + 3;
  std::string_view authority = url.substr(from, url.find_first_of("/?#", from) - from);
  size_t at = authority.rfind('@'), colon = authority.find(':');
  if (at == std::string_view::npos || colon > at) return std::string(url);
  return std::string(url.substr(0, from + colon + 1)) + "***" + std::string(url.substr(from + at));
}

// Latin-1 bytes as UTF-8.
std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) appendUtf8(out, c);
  return out;
}

// What one request needs on top of the handle, and what it collects.
struct Transfer {
  std::string body;              // the reply body (of an error status: its first kErrorBodyCap bytes)
  std::ostream* sink = nullptr;  // downloads: where a 2xx body goes
  size_t maxBody = 0;            // a larger 2xx body (not going to a sink) ends the exchange
  bool sinkFailed = false;
  bool tooLarge = false;
  bool errorPageCut = false;  // the error page was cut at kErrorBodyCap: not a failure
  std::chrono::milliseconds stallLimit{};
  std::chrono::milliseconds rateWindow{};
  std::chrono::steady_clock::time_point start{};
  std::chrono::steady_clock::time_point lastMove{};
  curl_off_t lastBytes = -1;
  // Bytes moved so far, sampled about 120 times per rate window; the front sample is the newest one
  // at least a window old.
  std::deque<std::pair<std::chrono::steady_clock::time_point, curl_off_t>> samples;
  bool stalled = false;
  bool tooSlow = false;
  bool stopped = false;
  size_t cookiesSeen = 0;                // Set-Cookie headers of this reply
  std::vector<std::string> cookieNames;  // the names of the first kMaxCookiesPerHost, in order

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  // After an exchange with a large reply, gives the freed memory back to the system: the allocator
  // (glibc's) keeps freed heap below its trim threshold (which grows with every large block freed), so the process
  // would otherwise stay as large as its largest reply. By now the reply has been read and released.
  ~Transfer() {
    bool large = lastBytes > static_cast<curl_off_t>(kTrimAfterBytes) || body.capacity() > kTrimAfterBytes;
    std::string().swap(body);
    if (large) releaseFreeMemory();
  }
};

std::atomic<const std::atomic<bool>*> gStopFlag{nullptr};

bool stopRequested() {
  const std::atomic<bool>* flag = gStopFlag.load();
  return flag && flag->load();
}

}  // namespace

struct TExtChannel::Impl {
  CURL* easy = nullptr;
  CURLSH* cookies = nullptr;
  std::string host;
  char errbuf[CURL_ERROR_SIZE] = {};
  TExtChannel* owner = nullptr;

  Impl() {
    static const CURLcode initialised = curl::global_init(CURL_GLOBAL_DEFAULT);
    // Blocks of 128 KB and more (reply bodies, parser buffers) are mapped and unmapped one by one.
    // glibc would otherwise raise that threshold after the first large block is freed and serve the
    // next ones from its heap, which keeps every freed generation of a growing buffer resident.
    mapLargeBlocksSeparately();
    if (initialised != CURLE_OK) throw Exception("libcurl could not be initialised");
    easy = curl::easy_init();
    if (!easy) throw Exception("libcurl could not create a handle");
    systemTrust(easy);  // libcurl's defaults, read from the first handle before any option changes them
    // The cookie store lives in a share of its own, so that it can be trimmed through a fresh handle:
    // libcurl takes no more cookies on a handle whose last reply already set its maximum.
    cookies = curl::share_init();
    if (!cookies) {
      curl::easy_cleanup(easy);
      throw Exception("libcurl could not create a cookie store");
    }
    curl::share_setopt(cookies, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl::easy_setopt(easy, CURLOPT_SHARE, cookies);
  }
  ~Impl() {
    curl::easy_cleanup(easy);
    curl::share_cleanup(cookies);
  }

  // libcurl's errors become the channel's here; their text comes from KNCurlError.h.
  [[noreturn]] void throwTransportError(CURLcode rc, const Transfer& t) const {
    if (t.stopped) throw EExtCommunicationError("Communication error: the exchange was stopped");
    if (t.tooLarge)
      throw EExtCommunicationError("Communication error: the reply is larger than " +
                                   std::to_string(TExtChannel::kMaxReplyBytes / (1024 * 1024)) + " MB");
    if (t.stalled)
      throw EExtCommunicationError("Communication error: no data moved for " +
                                   std::to_string(t.stallLimit.count()) + " ms, transfer abandoned");
    if (t.tooSlow)
      throw EExtCommunicationError("Communication error: fewer than " + std::to_string(kMinBytesPerSecond) +
                                   " bytes per second moved over " + std::to_string(t.rateWindow.count()) +
                                   " ms, transfer abandoned");
    if (rc == CURLE_WRITE_ERROR && t.sinkFailed) throw Exception("Download could not be written");
    throw EExtCommunicationError("Communication error: " + logSafe(curlFailureText(rc, errbuf, curl::easy_strerror)));
  }

  static size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Impl*>(user);
    auto* t = self->current;
    size_t n = size * count;
    long status = 0;
    curl::easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
      // Only the start of an error page is shown: the rest is not worth reading.
      size_t keep = std::min(n, kErrorBodyCap - t->body.size());
      t->body.append(data, keep);
      if (t->body.size() < kErrorBodyCap) return n;
      t->errorPageCut = true;
      return keep == n ? n : 0;
    }
    if (t->sink) {
      t->sink->write(data, static_cast<std::streamsize>(n));
      if (!*t->sink) {
        t->sinkFailed = true;
        return 0;
      }
      return n;
    }
    if (t->body.empty()) {
      // A declared length is refused before a byte is kept, or else reserved in one piece.
      curl_off_t declared = -1;
      curl::easy_getinfo(self->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
      if (declared > static_cast<curl_off_t>(t->maxBody)) {
        t->tooLarge = true;
        return 0;
      }
      if (declared > 0) t->body.reserve(static_cast<size_t>(declared));
    }
    if (n > t->maxBody - t->body.size()) {
      t->tooLarge = true;
      std::string().swap(t->body);  // nothing of a refused reply is kept
      return 0;
    }
    t->body.append(data, n);
    return n;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Impl*>(user)->current;
    size_t n = size * count;
    std::string_view line(data, n);
    if (startsWithNoCase(line, "set-cookie:")) {
      // Only so many cookies are kept (see keepCookieLimits); only those are worth a line each.
      if (++t->cookiesSeen > kMaxCookiesPerHost) return n;
      line.remove_prefix(11);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
      logTo("sess", "NEW COOKIE [" + logSafe(line) + "]");
      std::string_view name = line.substr(0, line.find('='));
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
      t->cookieNames.emplace_back(name);
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
    curl_off_t moved = dlnow + ulnow;
    if (moved != t->lastBytes) {
      t->lastBytes = moved;
      t->lastMove = now;
    } else if (now - t->lastMove >= t->stallLimit) {
      t->stalled = true;
      return 1;
    }
    if (t->rateWindow.count() <= 0) return 0;
    // The average rate over the last window, once the exchange has lasted that long.
    if (now - t->samples.back().first >= t->rateWindow / 120) t->samples.emplace_back(now, moved);
    while (t->samples.size() > 1 && now - t->samples[1].first >= t->rateWindow) t->samples.pop_front();
    auto [since, movedThen] = t->samples.front();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - since);
    if (elapsed < t->rateWindow) return 0;
    if ((moved - movedThen) * 1000 >= kMinBytesPerSecond * elapsed.count()) return 0;
    t->tooSlow = true;
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
    t.rateWindow = ch.rateWindow_;
    t.start = t.lastMove = std::chrono::steady_clock::now();
    t.samples.emplace_back(t.start, 0);
    curl::easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    applyTrust();
    curl::easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ch.connectTimeout_.count()));
    std::vector<std::string> cookiesBefore = cookieKeys();
    CURLcode rc = curl::easy_perform(easy);
    current = nullptr;
    curl::easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    if (t.cookiesSeen > 0) keepCookieLimits(cookiesBefore, t);
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && t.errorPageCut)) throwTransportError(rc, t);
    long status = 0;
    curl::easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  // Which versions and authorities this channel's https exchanges accept (see the header).
  void applyTrust() {
    const TExtChannel& ch = *owner;
    bool legacy = ch.tlsMin_ == "1.0" || ch.tlsMin_ == "1.1";
    long min = ch.tlsMin_ == "1.0"   ? CURL_SSLVERSION_TLSv1_0
               : ch.tlsMin_ == "1.1" ? CURL_SSLVERSION_TLSv1_1
               : ch.tlsMin_ == "1.3" ? CURL_SSLVERSION_TLSv1_3
                                     : CURL_SSLVERSION_TLSv1_2;
    curl::easy_setopt(easy, CURLOPT_SSLVERSION, min);
    // TLS 1.0 and 1.1 sign with SHA-1, which OpenSSL refuses above security level 0.
    const curl::TlsBackend backend = curl::tlsBackend();
    curl::easy_setopt(easy, CURLOPT_SSL_CIPHER_LIST, legacy ? backend.legacyCiphers : nullptr);
    auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    if (!ch.cafile_.empty()) {
      curl::easy_setopt(easy, CURLOPT_CAINFO, ch.cafile_.c_str());
      curl::easy_setopt(easy, CURLOPT_CAPATH, nullptr);  // the bundle alone
    } else if (backend.systemStore) {
      // A bundle built into libcurl would replace the machine's store.
      curl::easy_setopt(easy, CURLOPT_CAINFO, nullptr);
      curl::easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    } else {
      const SystemTrust trust = systemTrust(easy);
      curl::easy_setopt(easy, CURLOPT_CAINFO, orNull(trust.cainfo));
      curl::easy_setopt(easy, CURLOPT_CAPATH, orNull(trust.capath));
    }
  }

  // "host\tpath\tname" of every cookie in the store.
  std::vector<std::string> cookieKeys() const {
    std::vector<std::string> keys;
    forEachCookie([&](const CookieLine& c) { keys.push_back(c.key); });
    return keys;
  }

  struct CookieLine {
    std::string line, host, key;
    size_t bytes;  // name and value
  };

  template <typename F>
  void forEachCookie(F f) const {
    curl_slist* cookies = nullptr;
    if (curl::easy_getinfo(easy, CURLINFO_COOKIELIST, &cookies) != CURLE_OK) return;
    // Netscape lines: domain, subdomains, path, secure, expiry, name, value.
    for (curl_slist* c = cookies; c; c = c->next) {
      std::vector<std::string_view> fields;
      std::string_view line(c->data);
      for (size_t pos = 0;;) {
        size_t tab = line.find('\t', pos);
        fields.push_back(line.substr(pos, tab - pos));
        if (tab == std::string_view::npos) break;
        pos = tab + 1;
      }
      if (fields.size() < 7) continue;
      std::string_view domain = fields[0];
      if (domain.starts_with("#HttpOnly_")) domain.remove_prefix(10);
      if (domain.starts_with('.')) domain.remove_prefix(1);
      std::string host = lowerAscii(domain);
      std::string key = host + "\t" + std::string(fields[2]) + "\t" + std::string(fields[5]);
      f(CookieLine{std::string(line), std::move(host), std::move(key), fields[5].size() + fields[6].size()});
    }
    curl::slist_free_all(cookies);
  }

  // At most kMaxCookiesPerHost cookies per host, each at most kMaxCookieBytes: cookies the store
  // held before this exchange are kept first, then the new ones in the order the server sent them.
  void keepCookieLimits(const std::vector<std::string>& before, const Transfer& t) {
    size_t seen = t.cookiesSeen;
    std::vector<CookieLine> all;
    forEachCookie([&](const CookieLine& c) { all.push_back(c); });
    auto rank = [&](const CookieLine& c) -> size_t {
      if (std::find(before.begin(), before.end(), c.key) != before.end()) return 0;
      std::string_view name = std::string_view(c.key).substr(c.key.rfind('\t') + 1);
      auto it = std::find(t.cookieNames.begin(), t.cookieNames.end(), name);
      return it == t.cookieNames.end() ? SIZE_MAX : 1 + static_cast<size_t>(it - t.cookieNames.begin());
    };
    std::vector<std::pair<size_t, const CookieLine*>> ranked;
    for (const CookieLine& c : all) ranked.emplace_back(rank(c), &c);
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<const CookieLine*> kept;
    std::vector<std::pair<std::string, size_t>> perHost;
    for (const auto& entry : ranked) {
      const CookieLine* c = entry.second;  // not a structured binding: the lambda below captures it
      if (c->bytes > kMaxCookieBytes) continue;
      auto it =
          std::find_if(perHost.begin(), perHost.end(), [&](const auto& h) { return h.first == c->host; });
      if (it == perHost.end()) it = perHost.insert(perHost.end(), {c->host, 0});
      if (it->second == kMaxCookiesPerHost) continue;
      ++it->second;
      kept.push_back(c);
    }
    size_t dropped = all.size() - kept.size();
    if (dropped > 0) {
      // Written back through fresh handles on the store, each taking at most kMaxCookiesPerHost.
      auto onStore = [this](auto write) {
        if (CURL* h = curl::easy_init()) {
          curl::easy_setopt(h, CURLOPT_SHARE, cookies);
          write(h);
          curl::easy_cleanup(h);
        }
      };
      onStore([](CURL* h) { curl::easy_setopt(h, CURLOPT_COOKIELIST, "ALL"); });
      for (size_t from = 0; from < kept.size(); from += kMaxCookiesPerHost)
        onStore([&](CURL* h) {
          for (size_t i = from; i < std::min(kept.size(), from + kMaxCookiesPerHost); ++i)
            curl::easy_setopt(h, CURLOPT_COOKIELIST, kept[i]->line.c_str());
        });
    }
    if (dropped > 0 || seen > kMaxCookiesPerHost)
      logTo("sess", "COOKIES REFUSED: the reply set " + std::to_string(seen) + "; at most " +
                        std::to_string(kMaxCookiesPerHost) + " per host of at most " +
                        std::to_string(kMaxCookieBytes) + " bytes are kept");
  }

  // The request headers: the content type given, the custom headers, no "Expect: 100-continue".
  curl_slist* headerList(const char* contentType) const {
    curl_slist* list = nullptr;
    auto add = [&list](const std::string& h) {
      curl_slist* next = curl::slist_append(list, h.c_str());
      if (!next) {
        curl::slist_free_all(list);
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
    curl::easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &ct);
    return ct ? ct : "";
  }

  Transfer* current = nullptr;
};

namespace {

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl::slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct MimeDeleter {
  void operator()(curl_mime* m) const { curl::mime_free(m); }
};

// Detaches a request body (CURLOPT_POSTFIELDS or CURLOPT_MIMEPOST) from the handle when the request
// is over, however it ended, so the handle never keeps a pointer to a body that is gone.
class AttachedBody {
 public:
  AttachedBody(CURL* easy, CURLoption option, const void* body) : easy_(easy), option_(option) {
    curl::easy_setopt(easy_, option_, body);
  }
  ~AttachedBody() { curl::easy_setopt(easy_, option_, nullptr); }
  AttachedBody(const AttachedBody&) = delete;
  AttachedBody& operator=(const AttachedBody&) = delete;

 private:
  CURL* easy_;
  CURLoption option_;
};

// Where the account's device id is kept: the per-user store "_devid".
constexpr const char* kDeviceIdName = "_dev\\_id";

}  // namespace

TExtChannel::TExtChannel(const std::string& aendpoint, const std::string& deviceCookieName)
    : connectTimeout_(scaled(kConnectTimeout)),
      stallLimit_(scaled(kStallLimit)),
      rateWindow_(scaled(kRateWindow)) {
  cafile_ = globalCAFile();
  tlsMin_ = globalTlsMin();
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
  size_t end = value.find_last_not_of('/');
  url_ = (end == std::string::npos ? "" : value.substr(0, end + 1)) + "/app.direct";
  http->host = hostOf(value);
  CURL* e = http->easy;
  curl::easy_setopt(e, CURLOPT_URL, url_.c_str());
  curl::easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl::easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl::easy_setopt(e, CURLOPT_USERAGENT, userAgent().c_str());
  curl::easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl::easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl::easy_setopt(e, CURLOPT_ERRORBUFFER, http->errbuf);
  // Every https exchange: the server's certificate and name verified; versions and authorities are
  // set before each request (Impl::applyTrust).
  curl::easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl::easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl::easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::onWrite);
  curl::easy_setopt(e, CURLOPT_WRITEDATA, http.get());
  curl::easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
  curl::easy_setopt(e, CURLOPT_HEADERDATA, http.get());
  curl::easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
  curl::easy_setopt(e, CURLOPT_XFERINFODATA, http.get());
  curl::easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl::easy_setopt(e, CURLOPT_COOKIEFILE, "");  // the cookie engine, in memory only
  logMsg("url: " + logSafe(withoutPassword(url_)));
  if (!devicecookie_.empty() && !http->host.empty()) {
    logTo("sess", "Cookie AddServerCookie " + devicecookie_ + "=" + logSafe(deviceid_));
    // Host-only, no expiry: as if the endpoint's server had set it.
    std::string line = http->host + "\tFALSE\t/\tFALSE\t0\t" + devicecookie_ + "\t" + deviceid_;
    curl::easy_setopt(e, CURLOPT_COOKIELIST, line.c_str());
  }
  http_ = std::move(http);
}

std::string logSafeMessage(const std::exception& e) {
  if (dynamic_cast<const EExtCommunicationError*>(&e) || dynamic_cast<const EExtError*>(&e)) return e.what();
  return logSafe(e.what());
}

nlohmann::json TExtChannel::readReply(long status, const std::string& contentType, std::string body) {
  if (status < 200 || status > 299)
    throw EExtCommunicationError("Communication error: " + std::to_string(status) + " " +
                                     replyPreview(body, contentType, kShownBodyChars),
                                 status);
  if (body.size() > kMaxReplyBytes)
    throw EExtCommunicationError("Communication error: the reply is larger than " +
                                 std::to_string(kMaxReplyBytes / (1024 * 1024)) + " MB");
  nlohmann::json reply;
  {
    std::string text = decodeReplyText(std::move(body), contentType);
    JsonParseResult parsed =
        parseJsonBoundedOnce(text, {.maxDepth = kMaxReplyDepth, .maxCost = kMaxReplyCost});
    if (parsed.outcome == JsonParseOutcome::TooDeep)
      throw EExtCommunicationError("Communication error: the reply is nested deeper than " +
                                   std::to_string(kMaxReplyDepth) + " levels");
    if (parsed.outcome == JsonParseOutcome::TooLarge)
      throw EExtCommunicationError("Communication error: the reply's values would take more than " +
                                   std::to_string(kMaxReplyCost / (1024 * 1024)) + " MB of memory");
    if (parsed.outcome != JsonParseOutcome::Ok || !parsed.value.is_object())
      throw EExtCommunicationError("Communication error: the reply is not a JSON object: " +
                                   replyPreview(text, "", kShownReplyChars));
    reply = std::move(parsed.value);
  }
  auto type = reply.find("type");
  if (type != reply.end() && type->is_string() && type->get_ref<const std::string&>() == "exception") {
    auto msg = reply.find("message");
    if (msg == reply.end() || msg->is_null()) throw EExtError("");
    // The server's words go into log lines as they are: bounded and with control characters escaped.
    if (msg->is_string())
      throw EExtError(replyPreview(msg->get_ref<const std::string&>(), "", kShownBodyChars));
    throw EExtError(jsonLogText(*msg));  // JSON text holds no control character: escaped once
  }
  auto result = reply.find("result");
  return result == reply.end() ? nlohmann::json() : std::move(*result);
}

nlohmann::json TExtChannel::invoke(const std::string& api, const std::string& method,
                                   const nlohmann::json& params) {
  ++tid_;
  Slist headers(http_->headerList(kJsonContentType));
  Transfer t;
  t.maxBody = kMaxReplyBytes;
  long status;
  {
    std::string body = buildEnvelope(api, method, tid_, params);
    CURL* e = http_->easy;
    curl::easy_setopt(e, CURLOPT_URL, url_.c_str());
    curl::easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    AttachedBody attached(e, CURLOPT_POSTFIELDS, body.data());  // not copied: `body` outlives it
    status = http_->perform(t, headers.get());
  }
  return readReply(status, http_->contentType(), std::move(t.body));
}

nlohmann::json TExtChannel::invokeFileUpload(const std::string& api, const std::string& method,
                                             const nlohmann::json& params, const std::string& filename) {
  ++tid_;
  std::error_code ec;
  auto size = std::filesystem::file_size(fsPath(filename), ec);
  if (ec) throw Exception("File Not Found [" + filename + "]");
  CURL* e = http_->easy;
  std::unique_ptr<curl_mime, MimeDeleter> form(curl::mime_init(e));
  auto field = [&](const std::string& name, const std::string& value) {
    curl_mimepart* part = curl::mime_addpart(form.get());
    curl::mime_name(part, name.c_str());
    curl::mime_data(part, value.data(), value.size());
  };
  if (params.is_object())
    for (const auto& [name, value] : params.items())
      field(name, value.is_string() ? value.get<std::string>() : jsonText(value, false));
  field("extAction", api + "API");
  field("extMethod", method);
  field("extType", "rpc");
  field("extTID", std::to_string(tid_));
  field("extUpload", "true");
  field("extDontEncode", "true");
  field("MAX_FILE_SIZE", std::to_string(size + 1000000));
  curl_mimepart* file = curl::mime_addpart(form.get());
  curl::mime_name(file, "Filedata");
  if (curl::mime_filedata(file, filename.c_str()) != CURLE_OK)
    throw Exception("File Not Found [" + filename + "]");
  curl::mime_type(file, "application/octet-stream");
  field("r-uredad-ove", exeName() + "/" + ownVersion());
  field("dimmy", "x");

  Slist headers(http_->headerList(nullptr));
  Transfer t;
  t.maxBody = kMaxReplyBytes;
  curl::easy_setopt(e, CURLOPT_URL, url_.c_str());
  long status;
  {
    AttachedBody attached(e, CURLOPT_MIMEPOST, form.get());
    status = http_->perform(t, headers.get());
  }
  return readReply(status, http_->contentType(), std::move(t.body));
}

void TExtChannel::doDownloadToStream(const std::string& url, std::ostream& dest) {
  Slist headers(http_->headerList(nullptr));
  Transfer t;
  t.sink = &dest;
  CURL* e = http_->easy;
  curl::easy_setopt(e, CURLOPT_URL, url.c_str());
  curl::easy_setopt(e, CURLOPT_HTTPGET, 1L);
  long status = http_->perform(t, headers.get());
  if (status < 200 || status > 299) readReply(status, http_->contentType(), std::move(t.body));
}

void TExtChannel::doDownload(const std::string& url, const std::string& destFn) {
  std::error_code ec;
  std::filesystem::remove(fsPath(destFn), ec);
  // A failed download removes what it wrote, so `destFn` never holds a cut or foreign file.
  struct RemoveUnlessDone {
    const std::string& path;
    bool done = false;
    ~RemoveUnlessDone() {
      std::error_code ignored;
      if (!done) std::filesystem::remove(fsPath(path), ignored);
    }
  } guard{destFn};
  std::ofstream out(destFn, std::ios::binary | std::ios::trunc);
  if (!out) throw Exception("Cannot create file [" + destFn + "]");
  doDownloadToStream(url, out);
  out.close();
  if (!out) throw Exception("Cannot write file [" + destFn + "]");
  guard.done = true;
}

void TExtChannel::setHeader(const std::string& hdrname, const std::string& value) {
  // A line break would end the header and let the value smuggle its own headers in.
  if (hdrname.empty() || hdrname.find_first_of("\r\n:=") != std::string::npos ||
      value.find_first_of("\r\n") != std::string::npos)
    throw Exception("Invalid header [" + hdrname + "]");
  auto it = std::find_if(hdr_.begin(), hdr_.end(),
                         [&](const std::string& e) { return sameTextIgnoringCase(headerName(e), hdrname); });
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
  copy->rateWindow_ = rateWindow_;
  copy->tlsMin_ = tlsMin_;
  for (const auto& entry : hdr_) {
    auto eq = entry.find('=');
    copy->setHeader(entry.substr(0, eq), entry.substr(eq + 1));
  }
  curl_slist* cookies = nullptr;
  if (curl::easy_getinfo(http_->easy, CURLINFO_COOKIELIST, &cookies) == CURLE_OK) {
    for (curl_slist* c = cookies; c; c = c->next)
      curl::easy_setopt(copy->http_->easy, CURLOPT_COOKIELIST, c->data);
    curl::slist_free_all(cookies);
  }
  return copy;
}

std::string TExtChannel::getCookie(const std::string& s) const {
  if (!http_) throw Exception("Cookie manager was not created. Please assign the endpoint first.");
  curl_slist* cookies = nullptr;
  if (curl::easy_getinfo(http_->easy, CURLINFO_COOKIELIST, &cookies) != CURLE_OK) return "";
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
    if (sameTextIgnoringCase(domain, http_->host)) value = f[6];
  }
  curl::slist_free_all(cookies);
  return value;
}

void TExtChannel::setCookie(const std::string&, const std::string&) {
  throw Exception("manual Cookies support not implemented");
}

void TExtChannel::setIntercept(bool value) {
  if (value == intercept_ || !http_) return;
  intercept_ = value;
  CURL* e = http_->easy;
  curl::easy_setopt(e, CURLOPT_DEBUGFUNCTION, value ? &Impl::onDebug : nullptr);
  curl::easy_setopt(e, CURLOPT_DEBUGDATA, value ? http_.get() : nullptr);
  curl::easy_setopt(e, CURLOPT_VERBOSE, value ? 1L : 0L);
}

void TExtChannel::interceptReceive(std::string_view) {}
void TExtChannel::interceptSend(std::string_view) {}

void TExtChannel::setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds stall,
                              std::chrono::milliseconds rateWindow) {
  connectTimeout_ = connect;
  stallLimit_ = stall;
  rateWindow_ = rateWindow;
}

namespace {

bool validTlsMin(const std::string& version) {
  return version.empty() || version == "1.0" || version == "1.1" || version == "1.2" || version == "1.3";
}

}  // namespace

void TExtChannel::setTlsMin(const std::string& version) {
  if (!validTlsMin(version)) throw Exception("Unknown TLS version [" + logSafe(version, 20) + "]");
  tlsMin_ = version;
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

void TExtChannel::setGlobalTlsMin(const std::string& version) {
  if (!validTlsMin(version)) throw Exception("Unknown TLS version [" + logSafe(version, 20) + "]");
  std::lock_guard lock(globals().lock);
  globals().tlsMin = version;
}

std::string TExtChannel::globalTlsMin() {
  std::lock_guard lock(globals().lock);
  return globals().tlsMin;
}

std::pair<std::string, std::string> TExtChannel::setSystemTrustForTests(const std::string& cainfo,
                                                                        const std::string& capath) {
  if (CURL* probe = curl::easy_init()) {  // libcurl's own defaults first, so they are not read later
    systemTrust(probe);
    curl::easy_cleanup(probe);
  }
  std::lock_guard lock(globals().lock);
  SystemTrust previous = std::exchange(globals().trust, SystemTrust{cainfo, capath});
  return {previous.cainfo, previous.capath};
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
  // The local wall-clock time in seconds since 1970-01-01 00:00 (of the local clock).
  const auto localSeconds = std::llround((toDateTime(std::time(nullptr)) - kUnixEpochDateTime) * 86400.0);
  std::string id = std::to_string(static_cast<long long>(localSeconds)) + ".win32";
  std::lock_guard guard(lock);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 6; ++i) id += std::to_string(1000 + std::lround(unit(rng) * 8999));
  return id;
}

std::string TExtChannel::loadDeviceId() {
  TKNConfig store("_devid");
  store.RootKey = RegRoot::CurrentUser;
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
