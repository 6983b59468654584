#include "PlatformServer.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <fstream>

#include "PlatformPages.h"
#include "PlatformUpdates.h"

namespace kn::platform {

namespace {

using nlohmann::json;

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kText = "text/plain; charset=utf-8";
constexpr std::size_t kMaxCallerName = 256;
constexpr int kDefaultCallLimit = 100;
constexpr int kMaxCallLimit = 1000;

// Replies travel as 7-bit ASCII, as the agent's own requests do.
void sendJson(httplib::Response& res, const json& value) {
  res.set_content(value.dump(-1, ' ', true, json::error_handler_t::replace), kJson);
}

json callToJson(const CallRecord& c) {
  return {{"id", c.id},
          {"machine_id", c.machineId},
          {"api", c.api},
          {"method", c.method},
          {"received_at", c.receivedAt},
          {"args", c.args},
          {"args_truncated", c.argsTruncated},
          {"outcome", c.outcome}};
}

json machineToJson(const MachineRecord& m) {
  return {{"machine_id", m.machineId},
          {"svc", m.identity.svc},
          {"pcn", m.identity.pcn},
          {"av", m.identity.av},
          {"has_key", m.identity.hasKey},
          {"first_seen", m.firstSeen},
          {"last_seen", m.lastSeen},
          {"last_checkin", m.lastCheckin},
          {"last_miniaudit", m.lastMiniAudit},
          {"last_missing_key", m.lastMissingKey},
          {"last_audit", m.lastAudit},
          {"call_count", m.callCount}};
}

// Records an update request; the caller is named by the "cname" value it sent.
void recordUpdateCall(PlatformStore& store, const httplib::Request& req, const std::string& method,
                      const std::string& outcome) {
  CallRecord call;
  call.machineId = req.get_param_value("cname").substr(0, kMaxCallerName);
  call.api = "update";
  call.method = method;
  json params = json::object();
  for (const auto& [k, v] : req.params) params[k] = v;
  call.args = params.dump(-1, ' ', false, json::error_handler_t::replace);
  call.outcome = outcome;
  store.recordCall(std::move(call));
}

constexpr const char* kAdminCookie = "kn_admin";
constexpr std::size_t kMaxLoginBody = 4096;
constexpr int kDefaultNoticeLimit = 100;

// The agent's and the updater's routes: open to every caller, guarded by their own rules.
bool isAgentRoute(const std::string& path) {
  return path == "/app.direct" || path.ends_with("/webupdate.php3") || path.ends_with(".pkg");
}

bool sameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The cookie holds a digest of the token, so the token itself never sits in a browser's store.
std::string sessionValue(const std::string& token) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  std::string input = "kn-platformserver admin session\n" + token;
  SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : digest) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

std::string cookieValue(const httplib::Request& req, const std::string& name) {
  std::string cookies = req.get_header_value("Cookie");
  std::size_t pos = 0;
  while (pos < cookies.size()) {
    std::size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    std::string item = cookies.substr(pos, end - pos);
    std::size_t first = item.find_first_not_of(' ');
    if (first != std::string::npos) item.erase(0, first);
    if (item.starts_with(name + "=")) return item.substr(name.size() + 1);
    pos = end + 1;
  }
  return {};
}

std::string loginPage(const std::string& message) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Sign "
         "in</title></head><body>"
         "<h1>Sign in</h1>" +
         (message.empty() ? std::string() : "<p>" + htmlEscape(message) + "</p>") +
         "<form method=\"post\" action=\"/login\"><label>Admin token <input type=\"password\" "
         "name=\"token\" autofocus></label> <button>Sign in</button></form></body></html>\n";
}

bool hasBody(const httplib::Request& req) {
  return req.get_header_value<std::uint64_t>("Content-Length") > 0 || req.has_header("Transfer-Encoding");
}

// Reads the rest of a body and throws it away, up to `limit` bytes; false when it could not all
// be read (then the connection is closed after the reply).
bool discardBody(const httplib::ContentReader& reader, std::size_t limit) {
  std::size_t seen = 0;
  return reader([&](const char*, std::size_t n) { return (seen += n) <= limit; });
}

int limitParam(const httplib::Request& req, int fallback) {
  if (!req.has_param("limit")) return fallback;
  return std::clamp(std::stoi(req.get_param_value("limit")), 1, kMaxCallLimit);
}

std::string hostForUrl(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

namespace {

// Refused before anything is opened or bound.
ServerOptions checked(ServerOptions o) {
  if (o.adminToken.empty() && !isLoopbackAddress(o.address))
    throw ServerError("Refusing to listen on " + o.address +
                      " without an admin token: every machine and audit would be readable from the network. "
                      "Set --admin-token (or --admin-token-file), or listen on 127.0.0.1");
  return o;
}

}  // namespace

PlatformServer::PlatformServer(ServerOptions options)
    : options_(checked(std::move(options))), store_(options_.dataFile) {}

PlatformServer::~PlatformServer() { stop(); }

bool isLoopbackAddress(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

int PlatformServer::start() {
  if (http_) throw ServerError("The server is already started");
  if (!options_.adminToken.empty()) sessionCookie_ = sessionValue(options_.adminToken);
  bool tls = !options_.tlsCert.empty() || !options_.tlsKey.empty();
  if (tls) {
    auto ssl = std::make_unique<httplib::SSLServer>(options_.tlsCert.c_str(), options_.tlsKey.c_str());
    if (!ssl->is_valid())
      throw ServerError("Cannot load the TLS certificate " + options_.tlsCert + " and key " +
                        options_.tlsKey);
    http_ = std::move(ssl);
  } else {
    http_ = std::make_unique<FleetHttpServer>(options_.http);
  }
  configure(*http_, options_.http, listenFd_);
  http_->set_payload_max_length(options_.maxBodyBytes);
  addRoutes();

  port_ = options_.port == 0 ? http_->bind_to_any_port(options_.address)
                             : (http_->bind_to_port(options_.address, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    http_.reset();
    throw ServerError("Cannot listen on " + options_.address + " port " + std::to_string(options_.port));
  }
  raiseBacklog(listenFd_);
  finished_ = false;
  listener_ = std::thread([this] {
    http_->listen_after_bind();
    finished_ = true;
  });
  return port_;
}

void PlatformServer::stop() {
  if (!listener_.joinable()) return;
  // A stop that comes before the listener has begun its loop would be lost, so ask until the
  // loop is seen running, then once.
  bool asked = false;
  while (!finished_) {
    if (!asked && http_->is_running()) {
      http_->stop();
      asked = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  listener_.join();
  if (auto* fleet = dynamic_cast<FleetHttpServer*>(http_.get())) fleet->finish();
}

bool PlatformServer::authorized(const httplib::Request& req) const {
  if (options_.adminToken.empty()) return true;
  std::string auth = req.get_header_value("Authorization");
  if (auth.starts_with("Bearer ") && sameSecret(auth.substr(7), options_.adminToken)) return true;
  return sameSecret(cookieValue(req, kAdminCookie), sessionCookie_);
}

bool PlatformServer::running() const { return listener_.joinable() && !finished_; }

std::string PlatformServer::url() const {
  bool tls = !options_.tlsCert.empty() || !options_.tlsKey.empty();
  return std::string(tls ? "https://" : "http://") + hostForUrl(options_.address) + ":" +
         std::to_string(port_);
}

void PlatformServer::addRoutes() {
  httplib::Server& s = *http_;

  // Everything that is not the agent's or the updater's route needs the admin token, and no route
  // but /app.direct and the login form takes a body: such a body is refused unread.
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    if (req.path == "/app.direct") return R::Unhandled;
    bool login = req.path == "/login";
    if (hasBody(req) && !(login && req.method == "POST" &&
                          req.get_header_value<std::uint64_t>("Content-Length") <= kMaxLoginBody &&
                          !req.has_header("Transfer-Encoding"))) {
      res.status = 413;
      res.set_content("this route takes no request body\r\n", kText);
      closeConnectionAfterReply(res);
      return R::Handled;
    }
    if (login || isAgentRoute(req.path) || authorized(req)) return R::Unhandled;
    res.status = 401;
    if (req.path.starts_with("/api/"))
      res.set_content("admin token required: send \"Authorization: Bearer TOKEN\"\r\n", kText);
    else
      res.set_content(loginPage(""), kHtml);
    return R::Handled;
  });

  s.Get("/login",
        [](const httplib::Request&, httplib::Response& res) { res.set_content(loginPage(""), kHtml); });
  s.Post("/login", [this](const httplib::Request& req, httplib::Response& res) {
    if (options_.adminToken.empty() || sameSecret(req.get_param_value("token"), options_.adminToken)) {
      if (!options_.adminToken.empty())
        res.set_header("Set-Cookie", std::string(kAdminCookie) + "=" + sessionCookie_ +
                                         "; Path=/; HttpOnly; SameSite=Strict");
      res.status = 303;
      res.set_header("Location", "/");
      return;
    }
    res.status = 401;
    res.set_content(loginPage("That token is not the admin token."), kHtml);
  });

  // Keys first: the caller is judged from its header before a byte of its body is kept.
  s.Post("/app.direct", [this](const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& reader) {
    std::size_t limit = options_.maxBodyBytes;
    auto refuse = [&](const Caller& caller, const std::string& reason) {
      if (!discardBody(reader, limit)) closeConnectionAfterReply(res);
      sendJson(res, refuseCaller(caller, reason, store_));
    };
    std::string header = req.get_header_value("x-serviceapp");
    Caller caller = admitCaller(req.has_header("x-serviceapp") ? &header : nullptr, options_.rpc);
    caller.remoteAddr = req.remote_addr;
    if (caller.kind == Caller::Kind::Refused) return refuse(caller, caller.refusal);
    if (req.is_multipart_form_data()) {
      if (!discardBody(reader, limit)) closeConnectionAfterReply(res);
      return sendJson(res, exceptionReply("File uploads are not accepted by this server"));
    }
    std::size_t cap = caller.kind == Caller::Kind::Keyless ? std::min(kMaxKeylessBody, limit) : limit;
    if (req.get_header_value<std::uint64_t>("Content-Length") > cap)
      return refuse(caller, "Request refused: the body exceeds " + std::to_string(cap) + " bytes" +
                                (caller.kind == Caller::Kind::Keyless ? " for a caller without a key" : ""));
    std::string body;
    bool over = false;
    bool complete = reader([&](const char* data, std::size_t n) {
      if (body.size() + n > cap) over = true;
      if (!over) body.append(data, n);
      return body.size() + n <= limit;
    });
    if (!complete || over) {
      closeConnectionAfterReply(res);
      if (res.status == 413 || over)
        return refuse(caller, "Request refused: the body exceeds " + std::to_string(cap) + " bytes");
      res.status = 400;
      return sendJson(res, exceptionReply("Request refused: the body could not be read"));
    }
    sendJson(res, answerRpc(body, caller, store_, options_.rpc));
  });

  s.Get(R"((.*)/webupdate\.php3)", [this](const httplib::Request& req, httplib::Response& res) {
    UpdateAnswer answer = answerUpdateCheck(options_.packageDir, req.get_param_value("id"));
    res.status = answer.status;
    res.set_content(answer.body, kText);
    recordUpdateCall(store_, req, "webupdate.php3",
                     answer.status == 200 ? "ok" : answer.body.substr(0, answer.body.size() - 2));
  });

  s.Get(R"((.*)/([^/]+)\.pkg\.sig)", [this](const httplib::Request& req, httplib::Response& res) {
    std::string appid = req.matches[2];
    auto file = signatureFile(options_.packageDir, appid);
    std::ifstream in;
    if (file) in.open(*file, std::ios::binary);
    std::string sig(4096, '\0');
    in.read(sig.data(), static_cast<std::streamsize>(sig.size()));
    if (!file || in.gcount() <= 0) {
      res.status = 404;
      res.set_content("no signature for this package\r\n", kText);
      recordUpdateCall(store_, req, appid + ".pkg.sig", "no signature");
      return;
    }
    sig.resize(static_cast<std::size_t>(in.gcount()));
    res.set_content(sig, "application/octet-stream");
    recordUpdateCall(store_, req, appid + ".pkg.sig", "ok");
  });

  s.Get(R"((.*)/([^/]+)\.pkg)", [this](const httplib::Request& req, httplib::Response& res) {
    std::string appid = req.matches[2];
    auto file = packageFile(options_.packageDir, appid);
    auto in = file ? std::make_shared<std::ifstream>(*file, std::ios::binary) : nullptr;
    if (!in || !*in) {
      res.status = 404;
      res.set_content("no package for this application\r\n", kText);
      recordUpdateCall(store_, req, appid + ".pkg", "no package");
      return;
    }
    in->seekg(0, std::ios::end);
    auto size = static_cast<std::size_t>(in->tellg());
    in->seekg(0);
    res.set_content_provider(size, "application/octet-stream",
                             [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               char buf[64 * 1024];
                               in->seekg(static_cast<std::streamoff>(offset));
                               in->read(buf, static_cast<std::streamsize>(std::min(length, sizeof buf)));
                               if (in->gcount() <= 0) return false;
                               sink.write(buf, static_cast<std::size_t>(in->gcount()));
                               return true;
                             });
    recordUpdateCall(store_, req, appid + ".pkg", "ok");
  });

  s.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(renderMachineList(store_.machines()), kHtml);
  });

  s.Get("/machine", [this](const httplib::Request& req, httplib::Response& res) {
    std::string id = req.get_param_value("id");
    auto m = store_.machine(id);
    if (!m) {
      res.status = 404;
      res.set_content("<!DOCTYPE html><p>Unknown machine. <a href=\"/\">All machines</a></p>", kHtml);
      return;
    }
    res.set_content(renderMachinePage(*m, store_.latestAudit(id), store_.calls(id, "", 50)), kHtml);
  });

  s.Get("/machine/audit.json", [this](const httplib::Request& req, httplib::Response& res) {
    auto audit = store_.latestAudit(req.get_param_value("id"));
    if (!audit) {
      res.status = 404;
      res.set_content("no audit\r\n", kText);
      return;
    }
    res.set_content(audit->document, kJson);
  });

  s.Get("/api/machines", [this](const httplib::Request&, httplib::Response& res) {
    json out = json::array();
    for (const auto& m : store_.machines()) out.push_back(machineToJson(m));
    sendJson(res, out);
  });

  s.Get("/api/notices", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& n : store_.keyNotices(limitParam(req, kDefaultNoticeLimit)))
      out.push_back({{"machine_id", n.identity.id},
                     {"svc", n.identity.svc},
                     {"pcn", n.identity.pcn},
                     {"av", n.identity.av},
                     {"received_at", n.receivedAt},
                     {"args", n.data},
                     {"count", n.count}});
    sendJson(res, out);
  });

  s.Get("/api/refused", [this](const httplib::Request& req, httplib::Response& res) {
    json out = json::array();
    for (const auto& r : store_.refusals(limitParam(req, kDefaultNoticeLimit)))
      out.push_back({{"id", r.id},
                     {"received_at", r.receivedAt},
                     {"remote_addr", r.remoteAddr},
                     {"machine_id", r.machineId},
                     {"reason", r.reason}});
    sendJson(res, out);
  });

  s.Get("/api/calls", [this](const httplib::Request& req, httplib::Response& res) {
    int limit = limitParam(req, kDefaultCallLimit);
    json out = json::array();
    for (const auto& c : store_.calls(req.get_param_value("machine"), req.get_param_value("method"), limit))
      out.push_back(callToJson(c));
    sendJson(res, out);
  });

  // An oversize call still gets an answer the agent can read, though with a failing status.
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    if (req.path == "/app.direct" && res.status == 413)
      sendJson(res, exceptionReply("Request refused: the body exceeds this server's size limit"));
    else
      res.set_content(std::to_string(res.status) + "\r\n", kText);
  });

  s.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string message = "unknown error";
    try {
      std::rethrow_exception(ep);
    } catch (const std::invalid_argument&) {
      res.status = 400;
      res.set_content("a parameter is not a number\r\n", kText);
      return;
    } catch (const std::out_of_range&) {
      res.status = 400;
      res.set_content("a parameter is out of range\r\n", kText);
      return;
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
    }
    res.status = 500;
    if (req.path == "/app.direct") {
      res.status = 200;
      sendJson(res, exceptionReply("Server error: " + message));
    } else {
      res.set_content("server error: " + message + "\r\n", kText);
    }
  });
}

}  // namespace kn::platform
