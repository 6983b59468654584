// kn-fleetsim: plays a fleet of agents against a platform, to size it. See kUsage.
//
// Each simulated agent is one thread with its own machine identifier and its own ITAgent service
// on its own channel (the agent's RPC client, envelope and "x-serviceapp" header, one kept-alive
// connection), and makes its calls back to back. All agents start together.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ext.ITAgent.h"
#include "ext.channel.h"
#include "knLOG2.h"

namespace {

constexpr const char* kUsage = R"(Usage: kn-fleetsim --url URL [options]

Plays N auditagents against the platform at URL (the agent's endpoint, as in its
endpoint.ini) and prints calls per second, latency percentiles and errors. Each agent
has its own machine identifier and kept-alive connection and makes its calls back to
back, so the figures are the platform's capacity, not a fleet's average load (a fleet
of F agents on the default schedule averages about F/340 calls per second).

Options:
  --url URL          the platform's endpoint (http://127.0.0.1:8080)
  --agents N         simulated agents (default 200)
  --calls N          calls per agent (default 50)
  --duration S       instead of --calls: run for S seconds
  --key K            the API key the agents send (default "fleetsim")
  --calls-as KIND    checkin (putCommand, default), miniaudit (putMiniAudit) or mixed
                     (a mini-audit before every check-in)
  --id-prefix P      machine identifiers are P1, P2, ... (default "SIM-<pid>-")
  --help             this text

Exit code: 0 when every call succeeded, 1 when some failed, 2 for bad options.
)";

struct Options {
  std::string url;
  int agents = 200;
  long calls = 50;
  double duration = 0;
  std::string key = "fleetsim";
  std::string kind = "checkin";
  std::string idPrefix;
};

struct Tally {
  std::vector<double> latenciesMs;
  long errors = 0;
  std::map<std::string, long> errorTexts;
};

long number(const std::string& option, const std::string& text) {
  std::size_t pos = 0;
  long v = -1;
  try {
    v = std::stol(text, &pos);
  } catch (const std::exception&) {
  }
  if (pos != text.size() || v <= 0) throw std::invalid_argument(option + " needs a positive number");
  return v;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return false;
    if (i + 1 >= argc) throw std::invalid_argument("unknown option or missing value: " + arg);
    std::string v = argv[++i];
    if (arg == "--url")
      o.url = v;
    else if (arg == "--agents")
      o.agents = static_cast<int>(std::min(number(arg, v), 100000L));
    else if (arg == "--calls")
      o.calls = number(arg, v);
    else if (arg == "--duration")
      o.duration = static_cast<double>(number(arg, v));
    else if (arg == "--key")
      o.key = v;
    else if (arg == "--calls-as") {
      if (v != "checkin" && v != "miniaudit" && v != "mixed")
        throw std::invalid_argument("--calls-as is checkin, miniaudit or mixed");
      o.kind = v;
    } else if (arg == "--id-prefix")
      o.idPrefix = v;
    else
      throw std::invalid_argument("unknown option: " + arg);
  }
  if (o.url.empty()) throw std::invalid_argument("--url is required");
  return true;
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  auto i = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size()))) - 1;
  return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    if (!parse(argc, argv, o)) {
      std::cout << kUsage;
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "kn-fleetsim: " << e.what() << "\n(see --help)\n";
    return 2;
  }
  if (o.idPrefix.empty()) o.idPrefix = "SIM-" + std::to_string(getpid()) + "-";

  using Clock = std::chrono::steady_clock;
  std::mutex lock;
  std::condition_variable go;
  bool started = false;
  Clock::time_point start, deadline;
  Tally total;
  std::atomic<int> ready{0};

  auto agent = [&](int n) {
    Tally mine;
    std::string id = o.idPrefix + std::to_string(n);
    std::unique_ptr<kn::TExt_ITAgent> svc;
    try {
      kn::TExtChannel channel(o.url);
      channel.setHeader("x-serviceapp", nlohmann::json{{"id", id},
                                                       {"svc", "zarodirazev"},
                                                       {"k", o.key},
                                                       {"pcn", "SIM" + std::to_string(n)},
                                                       {"av", "kn-fleetsim/1"}}
                                            .dump());
      svc = std::make_unique<kn::TExt_ITAgent>(&channel);
    } catch (const std::exception& e) {
      std::lock_guard g(lock);
      ++total.errors;
      ++total.errorTexts[std::string("set-up: ") + e.what()];
    }
    ++ready;
    {
      std::unique_lock lk(lock);
      go.wait(lk, [&] { return started; });
    }
    const nlohmann::json checkin = {{"pcname", "SIM" + std::to_string(n)}, {"pcdomain", "FLEET"}};
    const nlohmann::json mini = {{"ips", "10.0.0." + std::to_string(n % 250 + 1)},
                                 {"lastboot", "2024/01/15 08:00:00"}};
    for (long i = 0; svc && (o.duration > 0 ? Clock::now() < deadline : i < o.calls); ++i) {
      bool asMini = o.kind == "miniaudit" || (o.kind == "mixed" && i % 2 == 0);
      auto t0 = Clock::now();
      try {
        if (asMini)
          svc->putMiniAudit(mini);
        else
          svc->putCommand(checkin);
        mine.latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      } catch (const std::exception& e) {
        ++mine.errors;
        ++mine.errorTexts[kn::logSafe(e.what(), 120)];
      }
    }
    std::lock_guard g(lock);
    total.latenciesMs.insert(total.latenciesMs.end(), mine.latenciesMs.begin(), mine.latenciesMs.end());
    total.errors += mine.errors;
    for (auto& [text, count] : mine.errorTexts) total.errorTexts[text] += count;
  };

  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(o.agents));
  for (int n = 1; n <= o.agents; ++n) threads.emplace_back(agent, n);
  while (ready < o.agents) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  {
    std::lock_guard g(lock);
    start = Clock::now();
    deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.duration));
    started = true;
  }
  go.notify_all();
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  auto& lat = total.latenciesMs;
  std::sort(lat.begin(), lat.end());
  long done = static_cast<long>(lat.size());
  std::printf("agents %d, calls %ld (ok %ld, errors %ld) in %.2f s\n", o.agents, done + total.errors, done,
              total.errors, seconds);
  std::printf("calls/s %.0f\n", seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
  std::printf("latency ms: p50 %.2f  p90 %.2f  p95 %.2f  p99 %.2f  max %.2f\n", percentile(lat, 50),
              percentile(lat, 90), percentile(lat, 95), percentile(lat, 99), lat.empty() ? 0.0 : lat.back());
  for (const auto& [text, count] : total.errorTexts) std::printf("error x%ld: %s\n", count, text.c_str());
  return total.errors == 0 ? 0 : 1;
}
