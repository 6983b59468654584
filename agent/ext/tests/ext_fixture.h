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

#include "KNTestTempDir.h"
#include "RawServer.h"
#include "knLOG2.h"

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
    initLogAt(dir_.path() + "/", "auditagent");
  }
  void TearDown() override { resetLog(); }
  std::string path(const std::string& name) const { return (root_ / name).string(); }

  TempDir dir_;
  const fs::path root_{dir_.path()};

 private:
  ScopedEnv sysroot_{"KN_SYSROOT", dir_.path()};
  ScopedEnv home_{"HOME", dir_.path()};
  ScopedEnv config_{"XDG_CONFIG_HOME", dir_ / "config"};
  ScopedEnv data_{"XDG_DATA_HOME", dir_ / "data"};
  ScopedEnv timeScale_{"KN_TIME_SCALE", std::nullopt};
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
  FILE* f = std::fopen((folder / "cert.pem").string().c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen((folder / "key.pem").string().c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
}

}  // namespace kn::test
