// The agent's only way to talk to the platform: a JSON remote-procedure-call channel over HTTP(S).
//
// A TExtChannel is bound to one endpoint (scheme, host, optional port, base path) and posts every
// call as one JSON envelope to <endpoint>/app.direct. It owns one libcurl handle (so one connection,
// kept alive between calls), its own cookie store and its custom headers. A channel is not safe for
// use by two threads at once; threads take their own copy with createClone(), which shares nothing
// with the source afterwards.
//
// Transport: https endpoints (the scheme in any case) speak TLS 1.2 and 1.3 (setTlsMin admits 1.0 or
// 1.1 with OpenSSL's legacy algorithms) and verify the server's certificate and name against the
// system's trust store, or against the PEM bundle set with setCAFile() alone. Connecting gives up after
// 30 s; an exchange is abandoned once no byte has moved for 120 s, or once fewer than 100 bytes per
// second moved on average over the last 120 s (the durations divided by KN_TIME_SCALE, or set per
// channel with setTimeouts()). Redirects are never followed.
//
// What a server can send is bounded: a reply body of at most kMaxReplyBytes (the transfer is aborted
// past it), JSON nested at most kMaxReplyDepth deep and a parsed value of at most kMaxReplyCost
// estimated bytes (both checked while parsing), at most 50 cookies per host of at most 4 KB each. Reply text
// is decoded per its charset; bytes that are not well formed become U+FFFD. Everything from the server that
// reaches a message or a log line is cut to 1,000 characters plus "..." and has its control characters
// escaped.
//
// Failures: every transport failure (name resolution, refused or reset connection, TLS handshake,
// stall, slow or oversized reply) and every HTTP status outside 2xx is an EExtCommunicationError
// whose message begins with "Communication error: " (with the status, for a refusal); a reply that
// is not a JSON object (or too deep, or too costly a tree) is one too. A reply of type "exception" is an
// EExtError carrying the server's message. The channel stays usable after any failure.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KNException.h"

namespace kn {

class TKNMemTable;
class TKNField;
class JsonDocument;
using TDateTime = double;

// The server answered the call with a reply of type "exception".
KN_DECLARE_EXCEPTION(EExtError, Exception);
// The transport failed, the HTTP status was an error, or the reply was not a JSON object.
class EExtCommunicationError : public Exception {
 public:
  explicit EExtCommunicationError(const std::string& message, long status = 0)
      : Exception(message), status_(status) {}
  const char* className() const noexcept override { return "EExtCommunicationError"; }
  // The HTTP status the server refused the call with; 0 when the transport failed or the reply
  // could not be read.
  long status() const noexcept { return status_; }

 private:
  long status_;
};

// The message of `e` fit for a log line: the channel's own errors are escaped and bounded already
// (see above) and pass as they are, so a line never shows "\\r\\n"; any other is escaped
// (logSafe).
std::string logSafeMessage(const std::exception& e);

class TExtChannel {
 public:
  // A channel bound to `aendpoint`, or to the global endpoint when it is empty. With a
  // `deviceCookieName`, the account's persistent device id (the "_devid" store, created on first
  // use) travels as that cookie and as the "x-CSRFToken" header.
  explicit TExtChannel(const std::string& aendpoint = "", const std::string& deviceCookieName = "");
  virtual ~TExtChannel();
  TExtChannel(const TExtChannel&) = delete;
  TExtChannel& operator=(const TExtChannel&) = delete;

  // Calls `method` of the server's `api` with `params` (the argument array) and returns the reply's
  // "result" member, or null when the reply has none. Every call, even one that fails, takes the
  // next "tid" (1 on a new channel).
  nlohmann::json invoke(const std::string& api, const std::string& method, const nlohmann::json& params);
  // As invoke, but posts a multipart form: one text field per member of the object `params`, the
  // call's own fields and the file at `filename` as the part "Filedata".
  nlohmann::json invokeFileUpload(const std::string& api, const std::string& method,
                                  const nlohmann::json& params, const std::string& filename);
  // GET of the absolute `url` with the channel's headers and cookies; a status outside 2xx or a cut
  // transfer fails with EExtCommunicationError. doDownload deletes `destFn` first and leaves it only
  // when the whole body arrived: after a failure there is no file at `destFn`. doDownloadToStream
  // appends the body to `dest`; after a cut transfer `dest` holds what arrived, after an error status
  // nothing (the error page is never written).
  void doDownload(const std::string& url, const std::string& destFn);
  void doDownloadToStream(const std::string& url, std::ostream& dest);

  // Every later request carries the header; an empty `value` removes it. Names compare without case.
  void setHeader(const std::string& hdrname, const std::string& value);
  // The custom headers as name=value entries, in the order first set.
  const std::vector<std::string>& headers() const { return hdr_; }

  // A new channel on the same endpoint with a copy of the headers, cookies, CA bundle and time-outs;
  // its "tid" starts at 0 and nothing is shared with this channel afterwards.
  std::unique_ptr<TExtChannel> createClone() const;

  // The value of the cookie `s` that the endpoint's host set (or the device cookie); "" if none.
  std::string getCookie(const std::string& s) const;
  // Always fails: "manual Cookies support not implemented".
  void setCookie(const std::string& s, const std::string& value);

  // While true, the bytes sent and received are shown to interceptSend/interceptReceive, on the
  // calling thread, from inside libcurl: an override must not throw.
  bool intercept() const { return intercept_; }
  void setIntercept(bool value);
  virtual void interceptReceive(std::string_view data);
  virtual void interceptSend(std::string_view data);

  const std::string& endpoint() const { return endpoint_; }
  // The URL every call is posted to: endpoint + "/app.direct", with one slash between them when the
  // endpoint ends in slashes.
  const std::string& requestUrl() const { return url_; }
  int32_t tid() const { return tid_; }
  const std::string& deviceCookie() const { return devicecookie_; }
  const std::string& deviceId() const { return deviceid_; }

  // The PEM bundle this channel verifies servers against ("" = the system's trust store).
  const std::string& caFile() const { return cafile_; }
  void setCAFile(const std::string& path) { cafile_ = path; }
  // Connect time-out, stall limit and the window of the average-rate limit of this channel
  // (defaults: 30 s, 120 s and 120 s, scaled). A window of 0 turns the rate limit off.
  void setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds stall,
                   std::chrono::milliseconds rateWindow);
  // The oldest TLS version this channel accepts: "1.0", "1.1", "1.2", "1.3", or "" for the default
  // (1.2). With 1.0 or 1.1 OpenSSL's legacy algorithms (security level 0) are allowed for this
  // channel. Anything else throws.
  const std::string& tlsMin() const { return tlsMin_; }
  void setTlsMin(const std::string& version);

  // The process-wide endpoint used by channels created without one.
  static void setGlobalEndpoint(const std::string& aendpoint);
  static std::string globalEndpoint();
  // The process-wide default channel; setGlobalInstance takes ownership and releases the previous
  // one. getGlobalInstance returns it (or nullptr) without giving up ownership. Both are meant for
  // start-up, before any thread uses the channel.
  static void setGlobalInstance(std::unique_ptr<TExtChannel> x);
  static TExtChannel* getGlobalInstance();
  // The PEM bundle ("cafile" of "endpoint.ini") every channel created afterwards verifies against;
  // "" returns to the system's trust store.
  static void setGlobalCAFile(const std::string& path);
  static std::string globalCAFile();
  // The oldest TLS version ("tls_min" of "endpoint.ini") of every channel created afterwards; as
  // setTlsMin.
  static void setGlobalTlsMin(const std::string& version);
  static std::string globalTlsMin();
  // For tests: the CA bundle and CA folder that stand for the system's trust store (by default
  // libcurl's own, /etc/ssl/certs on Debian). "" for none. Returns the previous pair.
  static std::pair<std::string, std::string> setSystemTrustForTests(const std::string& cainfo,
                                                                    const std::string& capath);

  // The bounds of a reply.
  static constexpr size_t kMaxReplyBytes = 64 * 1024 * 1024;
  static constexpr size_t kMaxReplyDepth = 256;
  // What the parsed reply may take in memory (JsonTreeBuilder's estimate), twice the byte cap: a
  // reply of text (one string of up to 64 MB, or 1 KB strings up to the cap: 1.0 to 1.1 times their
  // bytes) fits with room to spare, the reference platform's replies are a few hundred bytes,
  // while a reply of millions of tiny values (20 to 30 times its bytes) fails after a few MB of its
  // text: a 63 MB reply of 21 million empty objects peaks at about 200 MB instead of 1.9 GB.
  static constexpr size_t kMaxReplyCost = 2 * kMaxReplyBytes;

  // What invoke does with a reply once it has arrived: `status` outside 2xx is an
  // EExtCommunicationError "Communication error: <status> <first 1,000 characters of the body>...";
  // the body is decoded per the charset of `contentType` and parsed (at most kMaxReplyBytes,
  // kMaxReplyDepth and kMaxReplyCost, nothing kept past them); anything but a JSON object is an
  // EExtCommunicationError; a "type" of
  // "exception" is an EExtError with the "message" member (any JSON value) as text. Returns the
  // "result" member, or null. Pure: no channel, no network, no log.
  static nlohmann::json readReply(long status, const std::string& contentType, std::string body);
  // The process's stop request: once *flag is true, every exchange in progress on any channel is
  // abandoned within about a second and fails with EExtCommunicationError "Communication error:
  // the exchange was stopped". nullptr (the default) turns the check off.
  static void setStopFlag(const std::atomic<bool>* flag);

  // The envelope a call posts: {"action":api+"API","data":params,"method":...,"tid":...,"type":"rpc"}
  // in the compact ASCII form, sized exactly before it is written.
  static std::string buildEnvelope(const std::string& api, const std::string& method, int32_t tid,
                                   const nlohmann::json& params);
  // One UTF-8 character per byte, each with the byte's code (0..255).
  static std::string bytesToString(const std::vector<uint8_t>& b);
  // A fresh device id: local clock seconds since 1970, ".win32", six random blocks of 1000..9999.
  static std::string newDeviceId();
  // The User-Agent every request carries.
  static std::string userAgent();

  // Conversions between JSON and in-memory tables, and the date texts; see ext.tables.h, which
  // holds them as free functions (these members pass the channel for its log lines).
  std::unique_ptr<TKNMemTable> createMTFromArray(const nlohmann::json& a,
                                                 const JsonDocument* source = nullptr) const;
  void copyArrayToMT(const nlohmann::json& a, TKNMemTable& mt) const;
  void copySuperObjectToMTRecord(const nlohmann::json& rec, TKNMemTable& mt) const;
  static nlohmann::json DatasetRecordToSuperobject(const TKNMemTable& ds);
  [[noreturn]] static nlohmann::json DatasetToSuperObject(const TKNMemTable& ds);
  static std::string dateToStr(TDateTime d);
  static std::string dateTimeToStr(TDateTime d);
  static TDateTime strToDate(std::string_view s);
  TDateTime strToDateTime(std::string_view s) const;
  static void strToDateField(std::string_view s, TKNField& f);
  void strToDateTimeField(std::string_view s, TKNField& f) const;

 private:
  struct Impl;
  void setEndpoint(const std::string& value);
  // The account's device id from the "_devid" store, created and stored when there is none.
  std::string loadDeviceId();

  std::unique_ptr<Impl> http_;
  std::string endpoint_;
  std::string url_;
  int32_t tid_ = 0;
  std::vector<std::string> hdr_;
  std::string devicecookie_;
  std::string deviceid_;
  bool intercept_ = false;
  std::string cafile_;
  std::chrono::milliseconds connectTimeout_;
  std::chrono::milliseconds stallLimit_;
  std::chrono::milliseconds rateWindow_;
  std::string tlsMin_;
};

}  // namespace kn
