// Fill functions of the classes read from /proc: the operating system, processes, processors and the
// performance counters (InstanceProviderLinux.h).
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "InstanceProviderLinux.h"
#include "LinuxSources.h"

namespace kn::linuxfill {
namespace {

using namespace linuxsrc;

// The boot time from /proc/stat's "btime" line, in seconds since 1970.
std::optional<std::time_t> bootTime(const Machine& m) {
  const auto stat = m.read("/proc/stat");
  if (!stat) return std::nullopt;
  return mapped(parseSystemStat(*stat).bootTime, [](std::int64_t t) { return static_cast<std::time_t>(t); });
}

std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>> packageCaches(
    const Machine& m, const std::vector<const Fields*>& cpus) {
  std::optional<std::int64_t> l2, l3;
  std::set<std::pair<std::int64_t, std::string>> counted;
  for (const Fields* cpu : cpus) {
    const std::string caches =
        "/sys/devices/system/cpu/cpu" + field(*cpu, "processor").value_or("0") + "/cache/";
    for (const std::string& index : m.list(caches)) {
      const std::string dir = caches + index + "/";
      const auto level = m.integer(dir + "level");
      const auto size = m.line(dir + "size");
      if (!level || (*level != 2 && *level != 3) || !size || m.line(dir + "type") == "Instruction") continue;
      const auto shared = orElse(m.line(dir + "shared_cpu_list"), [&] { return m.line(dir + "id"); });
      if (!counted.emplace(*level, shared.value_or("")).second) continue;
      auto& total = *level == 2 ? l2 : l3;
      total = total.value_or(0) + std::atoll(size->c_str()) * (size->back() == 'M' ? 1024 : 1);
    }
  }
  return {l2, l3};
}

}  // namespace

void fillPerfOSSystem(const Machine& m, Instances& out) {
  auto& row = out.add();
  if (const auto uptime = m.line("/proc/uptime")) {
    const auto seconds = std::strtoull(uptime->c_str(), nullptr, 10);
    row.set("SystemUpTime", static_cast<std::uint64_t>(seconds));
  }
  if (const auto loadavg = m.line("/proc/loadavg")) row.set("Threads", loadavgEntities(*loadavg));
  if (const auto stat = m.read("/proc/stat"))
    row.set("ProcessorQueueLength", parseSystemStat(*stat).procsRunning);
  const auto entries = m.list("/proc");
  row.set("Processes", std::int64_t(std::count_if(entries.begin(), entries.end(), allDigits)));
}

void fillOperatingSystem(const Machine& m, Instances& out) {
  auto osRelease = m.read("/etc/os-release");
  if (!osRelease) osRelease = m.read("/usr/lib/os-release");
  const Fields os = parseKeyValues(osRelease.value_or(""));
  const Fields mem = parseColonFields(m.read("/proc/meminfo").value_or(""));
  const auto memTotal = kilobytes(mem, "MemTotal"), memAvailable = kilobytes(mem, "MemAvailable");
  const auto swapTotal = kilobytes(mem, "SwapTotal"), swapFree = kilobytes(mem, "SwapFree");
  const auto caption = field(os, "PRETTY_NAME");
  std::optional<std::string> bootDevice;
  if (const auto cmdline = m.line("/proc/cmdline")) bootDevice = kernelRootDevice(*cmdline);
  if (!bootDevice) {
    for (const Mount& mount : parseMounts(m.read("/proc/mounts").value_or("")))
      if (mount.mountPoint == "/" && mount.type != "rootfs") bootDevice = mount.device;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const auto bits = m.osBits();
  const auto entries = m.list("/proc");
  auto& row = out.add();
  row.set("Caption", caption)
      .set("Name",
           caption ? std::optional<std::string>(*caption + "|/|" + bootDevice.value_or("")) : std::nullopt)
      .set("Version", mapped(field(os, "VERSION_ID"),
                             [&m](const std::string& v) {
                               return preciseOsVersion(v, m.line("/etc/debian_version").value_or(""));
                             }))
      .set("BuildNumber", m.line("/proc/sys/kernel/osrelease"))
      .set("Manufacturer", field(os, "NAME"))
      .set("OSType", 36)
      .set("OSArchitecture", bits ? std::optional<std::string>(std::to_string(*bits) + "-bit") : std::nullopt)
      .set("CSName", nonEmpty(m.hostName()))
      .set("Description", field(parseKeyValues(m.read("/etc/machine-info").value_or("")), "PRETTY_HOSTNAME"))
      .set("BootDevice", bootDevice)
      .set("SystemDevice", bootDevice)
      .set("LastBootUpTime", mapped(bootTime(m), [](std::time_t t) { return localWmiDateTime(t); }))
      .set("LocalDateTime", wmiDateTime(local, local.tm_gmtoff))
      .set("CurrentTimeZone", static_cast<int>(local.tm_gmtoff / 60))
      .set("NumberOfProcesses", std::int64_t(std::count_if(entries.begin(), entries.end(), allDigits)))
      .set("Primary", true)
      .set("Status", "OK");
  if (memTotal) row.set("TotalVisibleMemorySize", *memTotal);
  if (memAvailable) row.set("FreePhysicalMemory", *memAvailable);
  if (swapTotal) row.set("TotalSwapSpaceSize", *swapTotal);
  if (memTotal && swapTotal) row.set("TotalVirtualMemorySize", *memTotal + *swapTotal);
  if (memAvailable && swapFree) row.set("FreeVirtualMemory", *memAvailable + *swapFree);
}

void fillProcess(const Machine& m, Instances& out) {
  const long ticks = std::max(1L, ::sysconf(_SC_CLK_TCK));
  const auto boot = bootTime(m);
  const std::string host = m.hostName();
  for (const std::string& pid : m.list("/proc")) {
    if (!allDigits(pid)) continue;
    if (!out.more()) break;
    const std::string dir = "/proc/" + pid + "/";
    const auto statText = m.read(dir + "stat");
    const auto stat = statText ? parseProcStat(*statText) : std::nullopt;
    if (!stat) continue;  // the process ended while the list was read
    const Fields status = parseColonFields(m.read(dir + "status").value_or(""));
    std::string cmdline = m.head(dir + "cmdline", kMaxFactBytes + 1).value_or("");
    while (!cmdline.empty() && cmdline.back() == '\0') cmdline.pop_back();
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    const auto name = field(status, "Name");
    const auto kb = [&](const char* key) -> std::optional<std::int64_t> {
      const auto v = kilobytes(status, key);
      return v ? std::optional<std::int64_t>(static_cast<std::int64_t>(*v)) : std::nullopt;
    };
    const auto bytes = [&](const char* key) -> std::optional<std::int64_t> {
      const auto v = kb(key);
      return v ? std::optional<std::int64_t>(*v * 1024) : std::nullopt;
    };
    auto& row = out.add();
    row.set("ProcessId", std::int64_t{std::atoll(pid.c_str())})
        .set("Handle", pid)
        .set("ParentProcessId", std::int64_t{stat->ppid})
        .set("Name", name)
        .set("Caption", name)
        .set("Description", name)
        .set("ExecutablePath", m.link(dir + "exe"))
        .set("CommandLine", nonEmpty(cmdline))
        .set("ThreadCount", std::int64_t{stat->threads})
        .set("Priority", std::int64_t{stat->priority})
        .set("WorkingSetSize", bytes("VmRSS"))
        .set("VirtualSize", bytes("VmSize"))
        .set("PeakWorkingSetSize", kb("VmHWM"))
        .set("PageFileUsage", kb("VmSwap"))
        .set("KernelModeTime", static_cast<std::uint64_t>(stat->stimeTicks * (10000000 / ticks)))
        .set("UserModeTime", static_cast<std::uint64_t>(stat->utimeTicks * (10000000 / ticks)))
        .set("CSName", nonEmpty(host));
    if (boot)
      row.set("CreationDate", localWmiDateTime(*boot + static_cast<std::time_t>(stat->startTicks / ticks)));
  }
}

void fillProcessor(const Machine& m, Instances& out) {
  const auto blocks = parseCpuinfo(m.read("/proc/cpuinfo").value_or(""));
  // One instance per physical package, as Windows counts processors.
  std::map<std::int64_t, std::vector<const Fields*>> packages;
  for (const Fields& b : blocks)
    packages[std::atoll(field(b, "physical id").value_or("0").c_str())].push_back(&b);
  const auto maxKHz = m.integer("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
  const auto bits = m.osBits();
  int n = 0;
  for (const auto& [id, cpus] : packages) {
    const Fields& f = *cpus.front();
    const auto [l2, l3] = packageCaches(m, cpus);
    const auto flags = field(f, "flags").value_or("");
    const bool x86 = field(f, "vendor_id").has_value();
    const bool longMode = (" " + flags + " ").find(" lm ") != std::string::npos;
    const auto armArch = field(f, "CPU architecture");
    const int architecture = x86       ? (longMode ? 9 : 0)
                             : armArch ? (std::atoi(armArch->c_str()) >= 8 ? 12 : 5)
                                       : 0;
    const auto mhz =
        mapped(field(f, "cpu MHz"), [](const std::string& s) { return std::int64_t(std::atof(s.c_str())); });
    const auto family = field(f, "cpu family"), model = field(f, "model"), stepping = field(f, "stepping");
    std::optional<std::string> caption;
    if (family && model && stepping)
      caption = std::string(!longMode                                              ? "x86"
                            : field(f, "vendor_id") == std::string("GenuineIntel") ? "Intel64"
                                                                                   : "AMD64") +
                " Family " + *family + " Model " + *model + " Stepping " + *stepping;
    auto& row = out.add();
    row.set("DeviceID", "CPU" + std::to_string(n++))
        .set("Name", field(f, "model name"))
        .set("Manufacturer", orElse(field(f, "vendor_id"), [&] { return field(f, "CPU implementer"); }))
        .set("Caption", caption)
        .set("Description", caption)
        .set("Stepping", stepping)
        .set("Level",
             mapped(family, [](const std::string& s) { return std::int64_t(std::atoll(s.c_str())); }))
        .set("NumberOfLogicalProcessors", std::int64_t(cpus.size()))
        .set("NumberOfCores", mapped(field(f, "cpu cores"),
                                     [](const std::string& s) { return std::int64_t(std::atoll(s.c_str())); })
                                  .value_or(std::int64_t(cpus.size())))
        .set("CurrentClockSpeed", mhz)
        .set("MaxClockSpeed", maxKHz ? std::optional<std::int64_t>(*maxKHz / 1000) : mhz)
        .set("AddressWidth", bits)
        .set("DataWidth", x86 ? std::optional<std::int64_t>(longMode ? 64 : 32) : bits)
        .set("Architecture", architecture)
        .set("ProcessorType", 3)
        .set("L2CacheSize", l2)
        .set("L3CacheSize", l3)
        .set("Status", "OK");
    if (model && stepping) row.set("Revision", std::atoi(model->c_str()) << 8 | std::atoi(stepping->c_str()));
  }
}

}  // namespace kn::linuxfill
