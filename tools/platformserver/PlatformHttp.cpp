#include "PlatformHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kn::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Set by a handler that left the body unread; read by the connection loop on the same thread.
thread_local bool tlCloseAfterReply = false;

void setNoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int pollOne(int fd, short events, std::chrono::milliseconds wait) {
  pollfd p{fd, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count())));
  } while (n < 0 && errno == EINTR);
  return n;
}

// A fixed set of worker threads taking jobs from one queue.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t n) {
    for (std::size_t i = 0; i < std::max<std::size_t>(n, 1); ++i) threads_.emplace_back([this] { run(); });
  }
  ~WorkerPool() { shutdown(); }

  void enqueue(std::function<void()> job) {
    {
      std::lock_guard g(lock_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }
  // Runs what is queued, then joins. Idempotent.
  void shutdown() {
    {
      std::lock_guard g(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lk(lock_);
        wake_.wait(lk, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// httplib owns the task queue it creates for each listen; this one only forwards to the pool,
// which outlives it (its shutdown is finish()'s business).
class ForwardingQueue : public httplib::TaskQueue {
 public:
  explicit ForwardingQueue(WorkerPool& pool) : pool_(pool) {}
  void enqueue(std::function<void()> fn) override { pool_.enqueue(std::move(fn)); }
  void shutdown() override {}

 private:
  WorkerPool& pool_;
};

// A socket read through a 4 KB buffer (httplib reads request lines a byte at a time) under the
// request's reading budget.
class BudgetStream : public httplib::Stream {
 public:
  BudgetStream(int fd, const HttpLimits& limits) : fd_(fd), limits_(limits) { beginRequest(); }

  void beginRequest() {
    start_ = Clock::now();
    received_ = 0;
  }
  // True once a read or write has failed or run out of time: the connection is done.
  bool broken() const { return broken_; }
  std::size_t buffered() const { return end_ - pos_; }

  bool is_readable() const override { return buffered() > 0 || pollOne(fd_, POLLIN, remaining()) > 0; }
  bool is_writable() const override { return pollOne(fd_, POLLOUT, limits_.writeTimeout) > 0; }

  ssize_t read(char* ptr, std::size_t size) override {
    if (buffered() == 0) {
      if (pollOne(fd_, POLLIN, remaining()) <= 0) return fail();
      if (size >= sizeof buf_) return count(recvSome(ptr, size));
      ssize_t n = count(recvSome(buf_, sizeof buf_));
      if (n <= 0) return n;
      pos_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    std::size_t n = std::min(size, buffered());
    std::memcpy(ptr, buf_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, std::size_t size) override {
    if (pollOne(fd_, POLLOUT, limits_.writeTimeout) <= 0) return fail();
    ssize_t n;
    do {
      n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { address(true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address(false, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  // Time left to wait for the next byte: the read time-out, cut short by the request's budget.
  std::chrono::milliseconds remaining() const {
    auto budget =
        limits_.requestGrace +
        std::chrono::milliseconds(received_ * 1000 / std::max<std::size_t>(limits_.minBytesPerSecond, 1));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start_ + budget - Clock::now());
    return std::min(left, limits_.readTimeout);
  }
  ssize_t recvSome(char* p, std::size_t n) {
    ssize_t r;
    do {
      r = ::recv(fd_, p, n, 0);
    } while (r < 0 && errno == EINTR);
    return r;
  }
  ssize_t count(ssize_t n) {
    if (n > 0) received_ += static_cast<std::size_t>(n);
    if (n <= 0) broken_ = true;
    return n;
  }
  ssize_t fail() {
    broken_ = true;
    return -1;
  }
  void address(bool remote, std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    int rc = remote ? getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len)
                    : getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    ip.clear();
    port = 0;
    if (rc != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
      inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
      inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }

  int fd_;
  const HttpLimits& limits_;
  Clock::time_point start_;
  std::size_t received_ = 0;
  bool broken_ = false;
  char buf_[4096];
  std::size_t pos_ = 0, end_ = 0;
};

}  // namespace

// The pool, the set of kept-alive connections waiting for their next request, and the
// connections in progress (so that finish() can end them).
struct FleetHttpServer::Engine {
  explicit Engine(const HttpLimits& l) : pool(l.threads), epfd(epoll_create1(EPOLL_CLOEXEC)) {
    if (epfd < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    waiter = std::thread([this] { waitLoop(); });
  }
  ~Engine() { finish(); }

  // Takes `fd` out of service for good.
  static void closeSocket(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  void begin(int fd) {
    std::lock_guard g(lock);
    active.insert(fd);
  }
  void end(int fd) {
    std::lock_guard g(lock);
    active.erase(fd);
  }

  // Parks a kept-alive connection until its next request or its keep-alive deadline.
  void park(int fd, Clock::time_point deadline, std::size_t count) {
    std::lock_guard g(lock);
    active.erase(fd);
    if (stopping) {
      closeSocket(fd);
      return;
    }
    idle[fd] = {deadline, count};
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
      idle.erase(fd);
      closeSocket(fd);
    }
  }

  void waitLoop() {
    epoll_event events[256];
    while (!stopping) {
      int n = epoll_wait(epfd, events, 256, 200);
      std::vector<std::pair<int, std::size_t>> ready;
      {
        std::lock_guard g(lock);
        for (int i = 0; i < n; ++i) {
          int fd = events[i].data.fd;
          auto it = idle.find(fd);
          if (it == idle.end()) continue;
          ready.emplace_back(fd, it->second.served);
          idle.erase(it);
          epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
          active.insert(fd);
        }
        auto now = Clock::now();
        for (auto it = idle.begin(); it != idle.end();) {
          if (it->second.deadline <= now) {
            epoll_ctl(epfd, EPOLL_CTL_DEL, it->first, nullptr);
            closeSocket(it->first);
            it = idle.erase(it);
          } else {
            ++it;
          }
        }
      }
      for (auto [fd, served] : ready) pool.enqueue([this, fd, served] { serve(fd, served); });
    }
  }

  void finish() {
    {
      std::lock_guard g(lock);
      if (finished) return;
      finished = stopping = true;
    }
    if (waiter.joinable()) waiter.join();
    {
      std::lock_guard g(lock);
      for (auto& [fd, waiting] : idle) closeSocket(fd);
      idle.clear();
      // Requests in progress fail at their next read or write; their workers then close them.
      for (int fd : active) ::shutdown(fd, SHUT_RDWR);
    }
    pool.shutdown();
    ::close(epfd);
  }

  // Serves requests on `fd` (which has served `count` so far) until it closes, fails, or has to
  // wait for its next request.
  void serve(int fd, std::size_t count);

  httplib::Server* server = nullptr;
  std::function<bool(httplib::Stream&, bool)> processRequest;  // (stream, last) -> keep going
  std::function<bool()> listening;
  const HttpLimits* limits = nullptr;

  WorkerPool pool;
  int epfd;
  std::thread waiter;
  std::mutex lock;
  struct Waiting {
    Clock::time_point deadline;
    std::size_t served;
  };
  std::unordered_map<int, Waiting> idle;
  std::set<int> active;
  std::atomic<bool> stopping{false};
  bool finished = false;
};

void FleetHttpServer::Engine::serve(int fd, std::size_t count) {
  BudgetStream stream(fd, *limits);
  auto close = [&] {
    end(fd);
    closeSocket(fd);
  };
  for (;;) {
    if (stopping || !listening()) return close();
    stream.beginRequest();
    tlCloseAfterReply = false;
    bool last = ++count >= limits->maxRequestsPerConnection;
    bool keepGoing = processRequest(stream, last);
    if (!keepGoing || last || tlCloseAfterReply || stream.broken()) return close();
    if (stream.buffered() > 0 || pollOne(fd, POLLIN, std::chrono::milliseconds(0)) > 0) continue;
    park(fd, Clock::now() + limits->keepAliveTimeout, count);
    return;
  }
}

void configure(httplib::Server& server, const HttpLimits& limits, int& listenFd) {
  std::size_t threads = limits.threads;
  if (!dynamic_cast<FleetHttpServer*>(&server))
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  auto secs = [](std::chrono::milliseconds d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d);
  };
  server.set_read_timeout(secs(limits.readTimeout));
  server.set_write_timeout(secs(limits.writeTimeout));
  server.set_keep_alive_timeout(
      std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(limits.keepAliveTimeout).count()));
  server.set_keep_alive_max_count(limits.maxRequestsPerConnection);
  server.set_tcp_nodelay(true);
  server.set_socket_options([&listenFd](socket_t sock) {
    httplib::default_socket_options(sock);
    setNoDelay(sock);  // inherited by every accepted socket
    listenFd = sock;
  });
}

void raiseBacklog(int listenFd) {
  // Listening again on a listening socket changes only its backlog.
  if (listenFd >= 0) ::listen(listenFd, SOMAXCONN);
}

void closeConnectionAfterReply(httplib::Response& res) {
  tlCloseAfterReply = true;
  res.set_header("Connection", "close");
}

FleetHttpServer::FleetHttpServer(HttpLimits limits)
    : limits_(limits), engine_(std::make_unique<Engine>(limits_)) {
  engine_->server = this;
  engine_->limits = &limits_;
  engine_->listening = [this] { return svr_sock_ != INVALID_SOCKET; };
  engine_->processRequest = [this](httplib::Stream& strm, bool last) {
    bool closed = false;
    bool ok = process_request(strm, last, closed, nullptr);
    return ok && !closed;
  };
  new_task_queue = [this] { return new ForwardingQueue(engine_->pool); };
}

FleetHttpServer::~FleetHttpServer() { finish(); }

void FleetHttpServer::finish() { engine_->finish(); }

bool FleetHttpServer::process_and_close_socket(socket_t sock) {
  setNoDelay(sock);
  // A connection that has sent nothing yet waits without a worker, like a kept-alive one, but
  // only for the read time-out.
  if (pollOne(sock, POLLIN, std::chrono::milliseconds(0)) <= 0) {
    engine_->park(sock, Clock::now() + limits_.readTimeout, 0);
    return true;
  }
  engine_->begin(sock);
  engine_->serve(sock, 0);
  return true;
}

}  // namespace kn::platform
