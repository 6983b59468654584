// Shared by the agent's tests: a loopback stand-in for the platform that records every remote call
// and can fail on demand, and a throw-away machine (KN_SYSROOT, HOME, the executable's folder).
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KNTestTempDir.h"

namespace kn::test {

// A free TCP port on 127.0.0.1 with nothing listening on it (an unreachable platform).
// The system hands out a port to a listener, which is then stopped (only a listener that ran
// closes its socket).
inline int unusedPort() {
  httplib::Server probe;
  int port = probe.bind_to_any_port("127.0.0.1");
  std::thread listener([&] { probe.listen_after_bind(); });
  while (!probe.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  probe.stop();
  listener.join();
  return port;
}

// The platform's RPC endpoint on loopback. Every call is recorded with the time `stamp` gives
// (seconds; by default real seconds since the server started) before it is answered as `mode` says.
class FakePlatform {
 public:
  enum class Mode { Ok, Http500, Exception, Hostile };
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  struct Call {
    std::string method;
    nlohmann::json data;
    double at = 0;
    bool answered = false;  // false when the call was failed on purpose
    std::string serviceAppHeader;
  };

  // Listens on `port`, or on any free port when 0.
  explicit FakePlatform(int port = 0) : started_(std::chrono::steady_clock::now()) {
    svr_.set_tcp_nodelay(true);  // a reply in two writes would otherwise wait for a delayed ACK
    svr_.Post("/app.direct",
              [this](const httplib::Request& req, httplib::Response& res) { answer(req, res); });
    port_ = port ? (svr_.bind_to_port("127.0.0.1", port) ? port : -1) : svr_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { svr_.listen_after_bind(); });
    // stop() before the listening loop runs would be lost, and the destructor would wait forever.
    while (!svr_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~FakePlatform() {
    svr_.stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  void setMode(Mode m) {
    std::lock_guard g(mu_);
    mode_ = m;
  }
  // What `method` answers with when the platform is well; none by default (the reply then has no
  // "result"), except putCommand, which answers {"status":"ok"}.
  void setResult(const std::string& method, std::optional<nlohmann::json> result) {
    std::lock_guard g(mu_);
    if (result) {
      results_[method] = *result;
    } else {
      results_.erase(method);
    }
  }
  // Every call from now on is answered by `handler` (and recorded as not answered) until the mode
  // is set again.
  void setHostile(Handler handler) {
    std::lock_guard g(mu_);
    hostile_ = std::move(handler);
    mode_ = Mode::Hostile;
  }
  void setStamp(std::function<double()> stamp) {
    std::lock_guard g(mu_);
    stamp_ = std::move(stamp);
  }
  // Runs with the method's name when a call arrives, before it is answered (on the server's thread).
  void onCall(std::function<void(const std::string&)> hook) {
    std::lock_guard g(mu_);
    onCall_ = std::move(hook);
  }

  std::vector<Call> calls() {
    std::lock_guard g(mu_);
    return calls_;
  }
  // The calls of one method that were answered.
  std::vector<Call> answered(const std::string& method) {
    std::vector<Call> out;
    for (Call& c : calls())
      if (c.method == method && c.answered) out.push_back(c);
    return out;
  }
  // Waits (real time) until `done(calls)` holds; false after `timeout`.
  bool waitFor(const std::function<bool(const std::vector<Call>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock g(mu_);
    return cv_.wait_for(g, timeout, [&] { return done(calls_); });
  }

 private:
  void answer(const httplib::Request& req, httplib::Response& res) {
    nlohmann::json env = nlohmann::json::parse(req.body, nullptr, false);
    std::string method = env.is_object() ? env.value("method", "") : "";
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard g(mu_);
      hook = onCall_;
    }
    if (hook) hook(method);
    std::unique_lock g(mu_);
    Call c;
    c.method = method;
    c.data = env.is_object() ? env.value("data", nlohmann::json()) : nlohmann::json();
    c.at = stamp_ ? stamp_()
                  : std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    c.serviceAppHeader = req.get_header_value("x-serviceapp");
    c.answered = mode_ == Mode::Ok;
    calls_.push_back(c);
    cv_.notify_all();
    switch (mode_) {
      case Mode::Http500:
        res.status = 500;
        res.set_content("Internal Server Error", "text/plain");
        break;
      case Mode::Exception:
        res.set_content(R"({"type":"exception","message":"platform says no"})", "application/json");
        break;
      case Mode::Hostile: {
        Handler handler = hostile_;
        g.unlock();
        handler(req, res);
        break;
      }
      case Mode::Ok: {
        nlohmann::json reply = {{"type", "rpc"}, {"tid", env.value("tid", 0)}, {"method", c.method}};
        if (auto r = results_.find(c.method); r != results_.end()) reply["result"] = r->second;
        res.set_content(reply.dump(), "application/json");
        break;
      }
    }
  }

  httplib::Server svr_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  Mode mode_ = Mode::Ok;
  std::function<double()> stamp_;
  std::function<void(const std::string&)> onCall_;
  Handler hostile_;
  std::map<std::string, nlohmann::json> results_{{"putCommand", {{"status", "ok"}}}};
  std::vector<Call> calls_;
  std::chrono::steady_clock::time_point started_;
};

// The methods of `calls`, in order.
inline std::vector<std::string> methods(const std::vector<FakePlatform::Call>& calls) {
  std::vector<std::string> out;
  for (const auto& c : calls) out.push_back(c.method);
  return out;
}

// Lines of a text file (CR LF or LF).
inline std::vector<std::string> fileLines(const std::string& path) {
  std::vector<std::string> out;
  std::string text = readBytes(path), line;
  for (char ch : text) {
    if (ch == '\n') {
      out.push_back(line);
      line.clear();
    } else if (ch != '\r') {
      line += ch;
    }
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

// The log lines without their time stamps ("ddd yy/MM/DD HH:nn:SS.zzz  ").
inline std::vector<std::string> logMessages(const std::string& path) {
  std::vector<std::string> out;
  for (std::string& l : fileLines(path)) {
    auto pos = l.find("  ");
    out.push_back(pos != std::string::npos && pos < 30 ? l.substr(pos + 2) : l);
  }
  return out;
}

inline size_t countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
  return n;
}

// The HKLM hive of a machine whose group policy gives the agent `apikey`.
inline std::string policyHive(const std::string& apikey) {
  return "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Policies\\ZARODIRazev]\n"
         "\"apikey\"=\"" +
         apikey + "\"\n";
}

}  // namespace kn::test
