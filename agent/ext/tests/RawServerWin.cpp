// The listener on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <stdexcept>
#include <thread>

#include "RawServer.h"

namespace kn::test {

struct RawServer::Impl {
  SOCKET fd = INVALID_SOCKET;
  int port = 0;
  std::string response;
  mutable std::mutex lock;
  std::string raw;
  std::thread thread;
  bool started = false;  // WSAStartup succeeded: one WSACleanup is owed

  void serveOne() {
    SOCKET c = accept(fd, nullptr, nullptr);
    if (c == INVALID_SOCKET) return;
    char buf[65536];
    std::string req;
    size_t want = std::string::npos;
    while (want == std::string::npos || req.size() < want) {
      int n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
      auto end = req.find("\r\n\r\n");
      if (want == std::string::npos && end != std::string::npos) {
        auto cl = req.find("Content-Length: ");
        want = end + 4 + (cl < end ? std::stoul(req.substr(cl + 16)) : 0);
      }
    }
    {
      std::lock_guard g(lock);
      raw += req;
    }
    for (size_t sent = 0; sent < response.size();) {
      int n = send(c, response.data() + sent, static_cast<int>(response.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    // An orderly end after the reply, so that the client reads all of it before the close.
    shutdown(c, SD_SEND);
    closesocket(c);
  }
};

RawServer::RawServer(std::string response, int count) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.response = std::move(response);
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) throw std::runtime_error("WSAStartup");
  s.started = true;
  s.fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (s.fd == INVALID_SOCKET || bind(s.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      listen(s.fd, 4) != 0) {
    if (s.fd != INVALID_SOCKET) closesocket(s.fd);
    WSACleanup();
    throw std::runtime_error("bind");
  }
  getsockname(s.fd, reinterpret_cast<sockaddr*>(&addr), &len);
  s.port = ntohs(addr.sin_port);
  if (!s.response.empty())
    s.thread = std::thread([&s, count] {
      for (int i = 0; i < count; ++i) s.serveOne();
    });
}

RawServer::~RawServer() {
  // Closing the listener ends an accept that is still waiting.
  closesocket(impl_->fd);
  if (impl_->thread.joinable()) impl_->thread.join();
  if (impl_->started) WSACleanup();
}

int RawServer::port() const { return impl_->port; }

std::string RawServer::raw() const {
  std::lock_guard g(impl_->lock);
  return impl_->raw;
}

}  // namespace kn::test
