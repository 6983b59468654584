// The full audit on this machine, and where its time goes.
//
//   cmake --preset bench && cmake --build build-bench -j2 --target audit_bench &&
//   build-bench/bench/audit_bench
//
// BM_FullAudit is what the agent does every 12 hours (create, execute, saveToFile), with the extra
// peak memory it needs over the process's resident size before it ("peak_extra_MB") and the size of
// the written document. BM_InventoryScript and BM_Class/<class> split it into the script step and
// the dump of each listed class. BM_ExtendedInventory is the part of a full audit that the extended
// inventory adds (the classes after the first 30 and the software outside dpkg); its counter
// "share_percent" relates it to the median of BM_FullAudit.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "InstanceProviderDevices.h"
#include "InventoryPolicy.h"
#include "KNLib.h"
#include "KNResources.h"
#include "WMIAuditor.h"

namespace {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kn-audit-bench.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : "/tmp";
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A field of /proc/self/status in kB.
double statusKB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::atof(line.c_str() + prefix.size());
  return 0;
}

// Starts a new peak: the kernel's high-water mark falls back to the current resident size.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void fullAudit(const std::string& outfn) {
  kn::TWMIAuditor auditor(outfn);
  auditor.execute();
  auditor.saveToFile();
}

// The peak memory one audit adds, in MB, measured in a child process; called before any audit ran
// here, since memory the allocator kept from earlier runs would hide it.
double extraPeakMB(const std::string& outfn) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    resetPeak();
    const double before = statusKB("VmRSS");
    fullAudit(outfn);
    const double extra = (statusKB("VmHWM") - before) / 1024;
    [[maybe_unused]] auto n = ::write(fds[1], &extra, sizeof extra);
    ::_exit(0);
  }
  ::close(fds[1]);
  double extra = -1;
  if (::read(fds[0], &extra, sizeof extra) != sizeof extra) extra = -1;
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return extra;
}

// The time of one full audit in the last BM_FullAudit run, in ms.
double& fullAuditMs() {
  static double ms = 0;
  return ms;
}

void BM_FullAudit(benchmark::State& state) {
  TempFolder dir;
  const std::string outfn = dir.file("latest_audit.json");
  // Measured once, before this process has run any audit.
  static const double peakExtraMB = extraPeakMB(outfn);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) fullAudit(outfn);
  fullAuditMs() =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
      static_cast<double>(state.iterations());
  state.counters["peak_extra_MB"] = peakExtraMB;
  state.counters["document_KB"] = static_cast<double>(std::filesystem::file_size(outfn)) / 1024;
}
BENCHMARK(BM_FullAudit)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

void BM_ExtendedInventory(benchmark::State& state) {
  kn::TWMIAuditor auditor("/nonexistent/latest_audit.json");
  std::vector<std::string> extended;
  for (const std::string& name : kn::splitLines(kn::findResource("WMIOBJ_META")))
    if (kn::isExtendedInventoryClass(name)) extended.push_back(name);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (const std::string& name : extended) auditor.testWMI(name);
    // Once for "Software", once more inside Win32_Product.
    benchmark::DoNotOptimize(kn::devices::installedOtherSoftware());
    benchmark::DoNotOptimize(kn::devices::installedOtherSoftware());
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
      static_cast<double>(state.iterations());
  if (fullAuditMs() > 0) state.counters["share_percent"] = 100 * ms / fullAuditMs();
}
BENCHMARK(BM_ExtendedInventory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InventoryScript(benchmark::State& state) {
  TempFolder dir;
  kn::TWMIAuditor auditor(dir.file("latest_audit.json"));
  for (auto _ : state) auditor.doMethod2();
}
BENCHMARK(BM_InventoryScript)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Class(benchmark::State& state, std::string className) {
  kn::TWMIAuditor auditor("/nonexistent/latest_audit.json");
  for (auto _ : state) auditor.testWMI(className);
  state.counters["instances"] = static_cast<double>(
      auditor.result()[kn::TWMIAuditor::metaKey][kn::TWMIAuditor::memberName(className)].size());
}

const bool kClassesRegistered = [] {
  for (const std::string& name : kn::splitLines(kn::findResource("WMIOBJ_META")))
    benchmark::RegisterBenchmark(("BM_Class/" + name).c_str(), BM_Class, name)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  return true;
}();

}  // namespace
