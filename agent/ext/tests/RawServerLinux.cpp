// The listener on BSD sockets.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <thread>

#include "RawServer.h"

namespace kn::test {

struct RawServer::Impl {
  int fd = -1;
  int port = 0;
  std::string response;
  mutable std::mutex lock;
  std::string raw;
  std::thread thread;

  void serveOne() {
    int c = accept(fd, nullptr, nullptr);
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
      std::lock_guard g(lock);
      raw += req;
    }
    (void)!write(c, response.data(), response.size());
    close(c);
  }
};

RawServer::RawServer(std::string response, int count) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.response = std::move(response);
  s.fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(s.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(s.fd, 4) != 0) {
    close(s.fd);
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
  shutdown(impl_->fd, SHUT_RDWR);
  close(impl_->fd);
  if (impl_->thread.joinable()) impl_->thread.join();
}

int RawServer::port() const { return impl_->port; }

std::string RawServer::raw() const {
  std::lock_guard g(impl_->lock);
  return impl_->raw;
}

}  // namespace kn::test
