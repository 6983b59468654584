// The reference platform and update server: one HTTP(S) listener that plays the asset-management
// platform for the agent and the update server for the updater.
//
// Routes:
//   POST /app.direct                 the agent's remote calls (PlatformRpc)
//   GET  [/base/]webupdate.php3?...  the updater's check, answered from the package folder
//   GET  [/base/]<appid>.pkg         the package of <appid> from the package folder
//   GET  /                           the machines (PlatformPages)
//   GET  /machine?id=ID              one machine's page
//   GET  /machine/audit.json?id=ID   its latest audit document as uploaded
//   GET  /api/machines               the machines as JSON
//   GET  /api/calls?machine=&method=&limit=   stored calls as JSON, newest first
//   GET  /api/notices?limit=         missing-key notices of callers without a key, newest first
//   GET  /api/refused?limit=         calls refused before their body was read, newest first
//   GET  /login, POST /login         the form that sets the admin cookie
// Update checks and downloads are stored as calls of the api "update".
//
// Reading: with an admin token set, every page and /api/* route needs it, as the header
// "Authorization: Bearer TOKEN" or the cookie the login form sets; the agent's and the updater's
// routes never do. Without a token the server listens on loopback addresses only.
//
// Keys first: a call's "x-serviceapp" header is judged before its body is read. A caller refused
// there has its body read and thrown away unseen; a caller without a key is read up to
// kMaxKeylessBody bytes. A request with a body for any other route than /app.direct (or a small
// login form) is refused unread and its connection closed.
//
// Serving: see PlatformHttp.h (worker pool, kept-alive connections waiting without a worker,
// reading budgets, TCP_NODELAY, backlog).
//
// Lifecycle: construct (opens the data file), start() (binds and serves on a thread of its own),
// stop() (idempotent; the destructor calls it). start() and stop() belong to one owning thread;
// requests are served on the listener's worker threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "PlatformHttp.h"
#include "PlatformRpc.h"
#include "PlatformStore.h"

namespace kn::platform {

KN_DECLARE_EXCEPTION(ServerError, Exception);

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 8080;  // 0: any free port
  std::string dataFile = "platformserver.db";
  std::string packageDir;       // empty: every update check is answered "unknown application"
  std::string tlsCert, tlsKey;  // both set: HTTPS
  std::size_t maxBodyBytes = 64 * 1024 * 1024;
  // Protects every page and /api/* route; required to listen on a non-loopback address.
  std::string adminToken;
  HttpLimits http;
  RpcSettings rpc;
};

// True for an address that only this machine can reach (127.0.0.0/8, ::1, "localhost").
bool isLoopbackAddress(const std::string& address);

class PlatformServer {
 public:
  // Opens the data file; throws StoreError when it cannot, and ServerError (before opening
  // anything) for a non-loopback address without an admin token.
  explicit PlatformServer(ServerOptions options);
  ~PlatformServer();
  PlatformServer(const PlatformServer&) = delete;
  PlatformServer& operator=(const PlatformServer&) = delete;

  // Binds the address and port and starts serving. Returns the bound port. Throws ServerError
  // when the certificate or key cannot be loaded or the address cannot be bound.
  int start();
  // Stops listening and waits for the listener's thread. Safe to call more than once.
  void stop();
  // True from start() until the listener has ended (after stop(), or a failure of the socket).
  bool running() const;

  // "http://127.0.0.1:PORT" (or https, or "[::1]" for an IPv6 address); valid after start().
  std::string url() const;
  PlatformStore& store() { return store_; }

 private:
  void addRoutes();
  bool authorized(const httplib::Request& req) const;

  ServerOptions options_;
  PlatformStore store_;
  std::unique_ptr<httplib::Server> http_;
  std::thread listener_;
  std::atomic<bool> finished_{true};
  int port_ = 0;
  int listenFd_ = -1;
  std::string sessionCookie_;  // the admin cookie's value, derived from the token
};

}  // namespace kn::platform
