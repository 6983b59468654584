// Test helpers: a temporary folder and a real server on a free loopback port.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "PlatformServer.h"

namespace kn::platform::test {

// A fresh folder under the system's temporary folder, removed with its contents afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "knps-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }

 private:
  std::filesystem::path path_;
};

// The identification header of a machine, as the agent sends it.
inline std::string serviceApp(const std::string& id, const std::string& key = "key-1",
                              const std::string& pcn = "PC01") {
  return nlohmann::json{
      {"id", id}, {"svc", "zarodirazev"}, {"k", key}, {"pcn", pcn}, {"av", "auditagent/1.0.0.1"}}
      .dump();
}

// One call's body, as the agent's channel builds it.
inline std::string envelope(const std::string& method, const nlohmann::json& data, int tid = 1) {
  return nlohmann::json{
      {"action", "ITAgentAPI"}, {"method", method}, {"type", "rpc"}, {"tid", tid}, {"data", data}}
      .dump();
}

class ServerTest : public ::testing::Test {
 protected:
  ServerOptions options() {
    ServerOptions o;
    o.port = 0;
    o.dataFile = dir.file("platform.db");
    o.packageDir = dir.file("packages");
    std::filesystem::create_directories(o.packageDir);
    return o;
  }
  void startServer(ServerOptions o) {
    server = std::make_unique<PlatformServer>(std::move(o));
    port = server->start();
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
  }
  void SetUp() override { startServer(options()); }

  // POSTs `body` to /app.direct; returns the HTTP status and the parsed reply (null when the
  // reply is not JSON).
  std::pair<int, nlohmann::json> post(const std::string& body, const std::string* header) {
    httplib::Headers h;
    if (header) h.emplace("x-serviceapp", *header);
    auto res = client->Post("/app.direct", h, body, "application/json; charset=utf-8;");
    if (!res) return {0, nullptr};
    return {res->status, nlohmann::json::parse(res->body, nullptr, false)};
  }
  nlohmann::json call(const std::string& method, const nlohmann::json& data,
                      const std::string& machine = "M-1", const std::string& key = "key-1") {
    std::string h = serviceApp(machine, key);
    auto [status, reply] = post(envelope(method, data), &h);
    EXPECT_EQ(200, status);
    return reply;
  }

  TempDir dir;
  std::unique_ptr<PlatformServer> server;
  std::unique_ptr<httplib::Client> client;
  int port = 0;
};

}  // namespace kn::platform::test
