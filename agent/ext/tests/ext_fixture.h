// Shared by the RPC client's tests: a real HTTP(S) server on 127.0.0.1 that records what arrives,
// a temporary root for files and logs, and a self-signed certificate made at test time.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "knLOG2.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kn::test {

namespace fs = std::filesystem;

// One request as the server saw it.
struct Seen {
  std::string method, path, body;
  httplib::Headers headers;
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// A loopback server on a free port, running on its own thread until destroyed. `handler` answers
// every request (default: {"type":"rpc","result":"ok"}); every request is recorded first.
class TestServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit TestServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : svr_(std::move(server)) {
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard g(lock_);
        seen_.push_back({req.method, req.path, req.body, req.headers});
      }
      Handler h;
      {
        std::lock_guard g(lock_);
        h = handler_;
      }
      if (h)
        h(req, res);
      else
        res.set_content(R"({"type":"rpc","result":"ok"})", "application/json");
    };
    svr_->Post(".*", record);
    svr_->Get(".*", record);
    port_ = svr_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { svr_->listen_after_bind(); });
    while (!svr_->is_running()) std::this_thread::yield();  // so that stop() cannot come first
  }
  ~TestServer() {
    svr_->stop();
    thread_.join();
  }

  void onRequest(Handler h) {
    std::lock_guard g(lock_);
    handler_ = std::move(h);
  }
  std::vector<Seen> seen() {
    std::lock_guard g(lock_);
    return seen_;
  }
  Seen last() {
    std::lock_guard g(lock_);
    return seen_.empty() ? Seen{} : seen_.back();
  }
  int port() const { return port_; }
  std::string url(const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
  }
  httplib::Server& server() { return *svr_; }

 private:
  std::unique_ptr<httplib::Server> svr_;
  std::mutex lock_;
  std::vector<Seen> seen_;
  Handler handler_;
  int port_ = 0;
  std::thread thread_;
};

// A bare TCP listener on 127.0.0.1. With a `response`, it serves `count` requests, one connection
// each: reads the head and the Content-Length body into raw(), writes `response` and closes. Without one, it
// accepts the connection and says nothing until destroyed.
class RawServer {
 public:
  explicit RawServer(std::string response = "", int count = 1) : response_(std::move(response)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 4) != 0)
      throw std::runtime_error("bind");
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (!response_.empty())
      thread_ = std::thread([this, count] {
        for (int i = 0; i < count; ++i) serveOne();
      });
  }
  ~RawServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The requests as they arrived; complete once the client has its reply.
  std::string raw() const {
    std::lock_guard g(lock_);
    return raw_;
  }

 private:
  void serveOne() {
    int c = accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    char buf[65536];
    std::string req;
    size_t want = std::string::npos;
    while (want == std::string::npos || req.size() < want) {
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
      auto end = req.find("\r\n\r\n");
      if (want == std::string::npos && end != std::string::npos) {
        auto cl = req.find("Content-Length: ");
        want = end + 4 + (cl < end ? std::stoul(req.substr(cl + 16)) : 0);
      }
    }
    {
      std::lock_guard g(lock_);
      raw_ += req;
    }
    (void)!write(c, response_.data(), response_.size());
    close(c);
  }
  int fd_ = -1;
  int port_ = 0;
  std::string response_;
  mutable std::mutex lock_;
  std::string raw_;
  std::thread thread_;
};

// A complete HTTP/1.1 response carrying the JSON `body`.
inline std::string rawJsonResponse(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// A JSON reply with `body` and status `status`.
inline TestServer::Handler reply(std::string body, int status = 200, std::string type = "application/json") {
  return [=](const httplib::Request&, httplib::Response& res) {
    res.status = status;
    res.set_content(body, type.c_str());
  };
}

// A fresh temporary folder used as KN_SYSROOT, HOME and the log folder's parent; removed afterwards.
class TempRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kn_ext_XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("KN_SYSROOT", root_.c_str(), 1);
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    unsetenv("KN_TIME_SCALE");
    initLogAt(root_.string() + "/", "auditagent");
  }
  void TearDown() override {
    resetLog();
    unsetenv("KN_TIME_SCALE");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string path(const std::string& name) const { return (root_ / name).string(); }
  fs::path root_;
};

// Writes a self-signed certificate for 127.0.0.1 / localhost and its key into `folder`
// ("cert.pem", "key.pem"); valid from now for one day, so nothing kept on disk can expire.
inline void makeSelfSignedCert(const fs::path& folder) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  ASSERT_NE(key, nullptr);
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                             -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  for (const char* ext : {"IP:127.0.0.1,DNS:localhost"}) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, ext);
    X509_add_ext(cert, e, -1);
    X509_EXTENSION_free(e);
  }
  X509_EXTENSION* bc = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
  X509_add_ext(cert, bc, -1);
  X509_EXTENSION_free(bc);
  ASSERT_GT(X509_sign(cert, key, EVP_sha256()), 0);
  FILE* f = std::fopen((folder / "cert.pem").c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen((folder / "key.pem").c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
}

}  // namespace kn::test
