// The putAudit envelope of a 20 MB audit document: how fast it is encoded, and how much memory a
// whole call (envelope built and posted to a loopback server) takes beyond the document itself.
//
//   cmake --preset bench && cmake --build build-bench --target envelope_bench
//   build-bench/bench/envelope_bench
//
// Targets: EncodeEnvelope >= 200 MB/s (bytes of document per second, one core);
// PutAuditCall peak_extra_x < 3 (peak extra heap during the call / document size).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "ext.ITAgent.h"
#include "ext.channel.h"

// Every C++ allocation is counted, so the peak of a call can be read afterwards.
namespace {
std::atomic<size_t> gLive{0}, gPeak{0};
void note(size_t n) {
  size_t now = gLive.fetch_add(n) + n;
  size_t peak = gPeak.load();
  while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
  }
}
}  // namespace

void* operator new(size_t n) {
  void* p = std::malloc(n + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<size_t*>(p) = n;
  note(n);
  return static_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  char* base = static_cast<char*>(p) - 16;
  gLive.fetch_sub(*reinterpret_cast<size_t*>(base));
  std::free(base);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

// A document like the agent's audit files: indented JSON, CR LF lines, quotes, slashes, some
// accented text, about `size` bytes.
std::string auditDocument(size_t size) {
  std::string doc = "{\r\n";
  for (int i = 0; doc.size() < size; ++i) {
    doc += "  \"Win32_Product_" + std::to_string(i) +
           "\": {\"Name\": \"Biblioteca gr\xC3\xA1"
           "fica\", \"InstallLocation\": \"C:/Program Files/App/\","
           " \"Version\": \"10.0.19041.1\", \"Size\": 123456789, \"Vendor\": \"Kestrane S.A.\"},\r\n";
  }
  return doc + "  \"end\": true\r\n}\r\n";
}

const std::string& document() {
  static const std::string doc = auditDocument(20 * 1024 * 1024);
  return doc;
}

void EncodeEnvelope(benchmark::State& state) {
  nlohmann::json params = nlohmann::json::array({0, document()});
  for (auto _ : state) {
    std::string body = kn::TExtChannel::buildEnvelope("ITAgent", "putAudit", 3, params);
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}
BENCHMARK(EncodeEnvelope)->Unit(benchmark::kMillisecond);

// Reads each request whole (head and Content-Length body), answers a JSON result and closes.
class SinkServer {
 public:
  SinkServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    listen(fd_, 8);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~SinkServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void serve() {
    static char buf[1 << 16];
    for (;;) {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string head;
      size_t body = 0, want = SIZE_MAX;
      while (body < want) {
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        if (want == SIZE_MAX) {
          head.append(buf, static_cast<size_t>(n));
          auto end = head.find("\r\n\r\n");
          if (end == std::string::npos) continue;
          auto cl = head.find("Content-Length: ");
          want = cl < end ? std::stoul(head.substr(cl + 16)) : 0;
          body = head.size() - end - 4;
        } else {
          body += static_cast<size_t>(n);
        }
      }
      static const std::string reply =
          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 28\r\nConnection: "
          "close\r\n\r\n"
          "{\"type\":\"rpc\",\"result\":true}";
      (void)!write(c, reply.data(), reply.size());
      close(c);
    }
  }
  int fd_ = -1, port_ = 0;
  std::thread thread_;
};

// A whole putAudit call as the agent makes it: the document text handed over, the envelope built
// and posted. peak_extra_x is the call's peak heap beyond what existed before, per document byte.
void PutAuditCall(benchmark::State& state) {
  SinkServer sink;
  kn::TExtChannel channel(sink.url());
  kn::TExt_ITAgent agent(&channel);
  double worst = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string text = document();  // what the caller read from the pending audit file
    size_t before = gLive.load();
    gPeak.store(before);
    state.ResumeTiming();
    agent.putAudit(0, std::move(text));
    worst =
        std::max(worst, static_cast<double>(gPeak.load() - before) / static_cast<double>(document().size()));
  }
  state.counters["peak_extra_x"] = worst;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}
BENCHMARK(PutAuditCall)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
