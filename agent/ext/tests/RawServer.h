// A bare TCP listener on 127.0.0.1 for the RPC client's tests, where a real HTTP server cannot
// misbehave enough. With a `response`, it serves `count` requests, one connection each: reads the
// head and the Content-Length body into raw(), writes `response` and closes. Without one, it
// accepts the connection and says nothing until destroyed. The platform half is
// RawServerLinux.cpp.
#pragma once

#include <memory>
#include <string>

namespace kn::test {

class RawServer {
 public:
  explicit RawServer(std::string response = "", int count = 1);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }
  int port() const;
  // The requests as they arrived; complete once the client has its reply.
  std::string raw() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A complete HTTP/1.1 response carrying the JSON `body`.
inline std::string rawJsonResponse(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace kn::test
