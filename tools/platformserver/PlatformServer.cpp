#include "PlatformServer.h"

#include <httplib.h>

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

std::string hostForUrl(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

PlatformServer::PlatformServer(ServerOptions options)
    : options_(std::move(options)), store_(options_.dataFile) {}

PlatformServer::~PlatformServer() { stop(); }

int PlatformServer::start() {
  if (http_) throw ServerError("The server is already started");
  bool tls = !options_.tlsCert.empty() || !options_.tlsKey.empty();
  if (tls) {
    auto ssl = std::make_unique<httplib::SSLServer>(options_.tlsCert.c_str(), options_.tlsKey.c_str());
    if (!ssl->is_valid())
      throw ServerError("Cannot load the TLS certificate " + options_.tlsCert + " and key " +
                        options_.tlsKey);
    http_ = std::move(ssl);
  } else {
    http_ = std::make_unique<httplib::Server>();
  }
  http_->set_payload_max_length(options_.maxBodyBytes);
  http_->set_read_timeout(std::chrono::seconds(120));
  http_->set_write_timeout(std::chrono::seconds(120));
  addRoutes();

  port_ = options_.port == 0 ? http_->bind_to_any_port(options_.address)
                             : (http_->bind_to_port(options_.address, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    http_.reset();
    throw ServerError("Cannot listen on " + options_.address + " port " + std::to_string(options_.port));
  }
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
}

bool PlatformServer::running() const { return listener_.joinable() && !finished_; }

std::string PlatformServer::url() const {
  bool tls = !options_.tlsCert.empty() || !options_.tlsKey.empty();
  return std::string(tls ? "https://" : "http://") + hostForUrl(options_.address) + ":" +
         std::to_string(port_);
}

void PlatformServer::addRoutes() {
  httplib::Server& s = *http_;

  s.Post("/app.direct", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.is_multipart_form_data()) {
      sendJson(res, exceptionReply("File uploads are not accepted by this server"));
      return;
    }
    std::string header = req.get_header_value("x-serviceapp");
    bool hasHeader = req.has_header("x-serviceapp");
    sendJson(res, answerRpc(req.body, hasHeader ? &header : nullptr, store_, options_.rpc));
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

  s.Get("/api/calls", [this](const httplib::Request& req, httplib::Response& res) {
    int limit = kDefaultCallLimit;
    if (req.has_param("limit")) {
      try {
        limit = std::clamp(std::stoi(req.get_param_value("limit")), 1, kMaxCallLimit);
      } catch (const std::exception&) {
        res.status = 400;
        res.set_content("limit must be a number\r\n", kText);
        return;
      }
    }
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
