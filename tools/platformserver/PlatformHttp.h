// The listener's connection handling, shaped for a fleet of agents that keep their connections
// alive and for callers that do not behave.
//
// FleetHttpServer is an httplib::Server that serves each plain-TCP connection itself:
//   - a fixed pool of worker threads runs requests, never idle connections: between requests a
//     kept-alive connection waits in one epoll set and goes back to the pool when its next request
//     arrives (or is closed after the keep-alive time-out); so does a new connection until its
//     first byte arrives (or is closed after the read time-out);
//   - every request has a reading budget: no byte for `readTimeout` ends it, and so does falling
//     behind `requestGrace` plus one second per `minBytesPerSecond` bytes received, so a client that
//     trickles its headers or body holds a worker for seconds, not minutes;
//   - accepted sockets have TCP_NODELAY and the listen backlog is the system's maximum.
// A handler that leaves a request's body unread asks for the connection to be closed with
// closeConnectionAfterReply(), so the unread bytes are never taken for the next request.
//
// HTTPS is served by httplib's own SSLServer with the same pool size, time-outs and TCP options
// (configure()); there a kept-alive connection holds its worker until the keep-alive time-out.
//
// Lifecycle: configure(), bind, raiseBacklog(), listen_after_bind() on one thread; stop() from
// another, then finish() once listen_after_bind() has returned: it closes the waiting connections,
// ends those in progress and joins the workers.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>

namespace kn::platform {

struct HttpLimits {
  std::size_t threads = 128;
  std::chrono::milliseconds readTimeout{5000};
  std::chrono::milliseconds writeTimeout{10000};
  std::chrono::milliseconds requestGrace{10000};
  std::size_t minBytesPerSecond = 1024;
  std::chrono::milliseconds keepAliveTimeout{15000};
  std::size_t maxRequestsPerConnection = 10000;
};

// Applies the pool size, time-outs, keep-alive settings and TCP_NODELAY to any httplib server.
// `listenFd` receives the listening socket when it is bound; it must outlive the binding.
void configure(httplib::Server& server, const HttpLimits& limits, int& listenFd);
// Raises the bound socket's listen backlog to the system's maximum (the library listens with 5).
void raiseBacklog(int listenFd);

// Makes the current request's connection close after its reply. Call from a handler only.
void closeConnectionAfterReply(httplib::Response& res);

class FleetHttpServer : public httplib::Server {
 public:
  explicit FleetHttpServer(HttpLimits limits);
  ~FleetHttpServer() override;

  // After listen_after_bind() has returned: closes every connection and joins the workers.
  void finish();

  struct Engine;

 private:
  bool process_and_close_socket(socket_t sock) override;

  HttpLimits limits_;
  std::unique_ptr<Engine> engine_;
};

}  // namespace kn::platform
