// Memory of the RPC channel against large replies, measured as the process's resident memory.
//
//   cmake --preset bench && cmake --build build-bench --target rpc_reply_bench
//   build-bench/bench/rpc_reply_bench
//
// A forked child serves canned replies on 127.0.0.1 (so none of the server's memory is counted).
// Counters:
//   BM_CallLargeReply/<shape>: peak_x = the highest resident memory during one call, above what the
//     process held before it, divided by the reply's size (60 MB). Shape 0: the result is one 60 MB
//     string; shape 1: the result is an array of 60,000 strings of 1 KB. Target: below 2.5.
//   BM_RefusedHugeReply/<declared>: rss_growth_MB = resident memory after a refused 200 MB reply
//     minus before it (declared: 1 with a Content-Length, 0 chunked). Target: below 2.
//   BM_ManyTinyValues/<shape>: a 63 MB reply (under the 64 MB cap) whose result is an array of tiny
//     values, refused by the tree's cost budget. peak_MB = the highest resident memory during the
//     call above what the process held before it; rss_growth_MB = after minus before. Shape 0: 21
//     million empty objects; 1: 21 million empty arrays; 2: 31.5 million one-digit numbers. Target:
//     peak below 300 MB (unbounded, the first shape took 1.9 GB), growth below 2.
//   BM_CostEstimate/<shape>: the tree's estimated cost (JsonTreeBuilder) over the heap it really
//     took (mallinfo2), parsing 8 MB of text without a budget. Shapes 0 to 2 as above, 3: strings of
//     1 KB. Near 1 means the budget stands for resident memory.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "KNJsonParse.h"
#include "ext.channel.h"

namespace {

constexpr size_t kMB = 1024 * 1024;
constexpr size_t kLargeReply = 60 * kMB;
constexpr size_t kHugeReply = 200 * kMB;

long statusKB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return 0;
}

void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void sendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

constexpr size_t kTinyReply = 63'000'000;
const char* const kTinyItems[] = {"{}", "[]", "7", nullptr};

// {"type":"rpc","result":[item,item,...]} of about `size` bytes.
std::string arrayOf(const std::string& item, size_t size) {
  std::string text = R"({"type":"rpc","result":[)";
  text.reserve(size + 64);
  while (text.size() + item.size() + 3 < size) (text += item) += ',';
  text.back() = ']';
  return text + "}";
}

// Writes the reply for `path` in 1 MB pieces, never holding it whole.
void serve(int c, const std::string& path) {
  std::string piece(kMB, 'x');
  auto head = [&](size_t length, bool chunked) {
    std::string h = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n";
    h += chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                 : "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    sendAll(c, h.data(), h.size());
  };
  if (path.rfind("/string/", 0) == 0) {  // {"result":"xxx..."} of 60 MB in all
    std::string open = R"({"type":"rpc","result":")", close = "\"}";
    head(kLargeReply, false);
    sendAll(c, open.data(), open.size());
    size_t left = kLargeReply - open.size() - close.size();
    while (left > 0) {
      size_t n = std::min(left, piece.size());
      sendAll(c, piece.data(), n);
      left -= n;
    }
    sendAll(c, close.data(), close.size());
  } else if (path.rfind("/array/", 0) == 0) {  // {"result":["x...",...]} of 60,000 strings of 1 KB
    std::string item = "\"" + std::string(1021, 'x') + "\",";
    std::string open = R"({"type":"rpc","result":[)", last = "\"" + std::string(1021, 'x') + "\"]}";
    head(open.size() + item.size() * 59999 + last.size(), false);
    sendAll(c, open.data(), open.size());
    std::string block;
    for (int i = 0; i < 1000; ++i) block += item;
    for (int i = 0; i < 59; ++i) sendAll(c, block.data(), block.size());
    for (int i = 0; i < 999; ++i) sendAll(c, item.data(), item.size());
    sendAll(c, last.data(), last.size());
  } else if (path.rfind("/tiny", 0) == 0) {  // /tiny<shape>/: arrayOf(kTinyItems[shape], 63 MB)
    std::string text = arrayOf(kTinyItems[path[5] - '0'], kTinyReply);
    head(text.size(), false);
    sendAll(c, text.data(), text.size());
  } else {  // 200 MB of spaces, declared or chunked
    bool chunked = path.rfind("/chunked/", 0) == 0;
    head(kHugeReply, chunked);
    std::string size = "100000\r\n";  // 1 MB chunks
    for (size_t sent = 0; sent < kHugeReply; sent += kMB) {
      if (chunked) sendAll(c, size.data(), size.size());
      sendAll(c, std::string(kMB, ' ').data(), kMB);
      if (chunked) sendAll(c, "\r\n", 2);
    }
    if (chunked) sendAll(c, "0\r\n\r\n", 5);
  }
}

// The child process serving replies; started once, ended at exit.
int serverPort() {
  static int port = [] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0) std::abort();
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    pid_t child = fork();
    if (child == 0) {
      for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) _exit(0);
        std::string req;
        char buf[65536];
        while (req.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = read(c, buf, sizeof buf);
          if (n <= 0) break;
          req.append(buf, static_cast<size_t>(n));
        }
        size_t sp = req.find(' ');
        serve(c, req.substr(sp + 1, req.find(' ', sp + 1) - sp - 1));
        close(c);
      }
    }
    close(fd);
    static pid_t server = child;
    std::atexit([] {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    });
    return static_cast<int>(ntohs(addr.sin_port));
  }();
  return port;
}

std::string base(const std::string& kind) {
  return "http://127.0.0.1:" + std::to_string(serverPort()) + "/" + kind;
}

void BM_CallLargeReply(benchmark::State& state) {
  kn::TExtChannel ch(base(state.range(0) == 0 ? "string" : "array"));
  double peak = 0;
  for (auto _ : state) {
    long before = statusKB("VmRSS:");
    resetPeak();
    {
      nlohmann::json result = ch.invoke("ITAgent", "m", nlohmann::json::array());
      benchmark::DoNotOptimize(result);
    }
    long high = statusKB("VmHWM:");
    peak = std::max(peak, static_cast<double>(high - before) * 1024 / kLargeReply);
  }
  state.counters["peak_x"] = peak;
}
BENCHMARK(BM_CallLargeReply)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_RefusedHugeReply(benchmark::State& state) {
  kn::TExtChannel ch(base(state.range(0) ? "declared" : "chunked"));
  double growth = 0;
  for (auto _ : state) {
    long before = statusKB("VmRSS:");
    try {
      ch.invoke("ITAgent", "m", nlohmann::json::array());
      state.SkipWithError("a 200 MB reply was accepted");
    } catch (const kn::EExtCommunicationError&) {
    }
    growth = std::max(growth, static_cast<double>(statusKB("VmRSS:") - before) / 1024);
  }
  state.counters["rss_growth_MB"] = growth;
}
BENCHMARK(BM_RefusedHugeReply)->Arg(1)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ManyTinyValues(benchmark::State& state) {
  kn::TExtChannel ch(base("tiny" + std::to_string(state.range(0))));
  double peak = 0, growth = 0;
  for (auto _ : state) {
    long before = statusKB("VmRSS:");
    resetPeak();
    try {
      ch.invoke("ITAgent", "m", nlohmann::json::array());
      state.SkipWithError("the reply was accepted");
    } catch (const kn::EExtCommunicationError&) {
    }
    peak = std::max(peak, static_cast<double>(statusKB("VmHWM:") - before) / 1024);
    growth = std::max(growth, static_cast<double>(statusKB("VmRSS:") - before) / 1024);
  }
  state.counters["peak_MB"] = peak;
  state.counters["rss_growth_MB"] = growth;
}
BENCHMARK(BM_ManyTinyValues)->DenseRange(0, 2)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_CostEstimate(benchmark::State& state) {
  std::string item =
      kTinyItems[state.range(0)] ? kTinyItems[state.range(0)] : "\"" + std::string(1021, 'x') + "\"";
  const std::string text = arrayOf(item, 8 * kMB);
  double ratio = 0;
  for (auto _ : state) {
    auto heap = [] {
      struct mallinfo2 m = mallinfo2();
      return static_cast<double>(m.uordblks + m.hblkhd);
    };
    double before = heap();
    kn::JsonParseResult r = kn::parseJsonBounded(text, {.maxDepth = 8, .maxCost = SIZE_MAX});
    ratio = static_cast<double>(r.cost) / (heap() - before);
  }
  state.counters["estimate_over_heap"] = ratio;
}
BENCHMARK(BM_CostEstimate)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
