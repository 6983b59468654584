// The Linux instance provider: each class of the shipped class list declared once (its properties,
// their CIM types and where Linux keeps the fact) and filled by one small function.
//
// Every path is read below the provider's root (KN_AUDIT_ROOT), so tests run it on a fixture tree. A
// file that is missing or unreadable leaves its properties null; a class whose source is missing
// altogether has no instances. Parsing lives in LinuxSources.cpp, apart from the reading here.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <set>

#include "FactText.h"
#include "InstanceProvider.h"
#include "InstanceProviderDevices.h"
#include "KNFd.h"
#include "KNEnv.h"
#include "LinuxSources.h"

extern char** environ;

namespace kn {
namespace {

using namespace linuxsrc;

bool isPciId(std::string_view text) {
  return text.size() == 6 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
         std::all_of(text.begin() + 2, text.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// ---- Reading below the root ---------------------------------------------------------------------

// The largest file read whole (the package database of a big server is a few tens of MB), and the
// most read of a file of which only the first line counts (sysfs attributes hold one page at most).
constexpr size_t kMaxFile = size_t{256} << 20;
constexpr size_t kMaxLine = size_t{64} << 10;

class Machine {
 public:
  Machine(std::string root, std::function<std::vector<InterfaceAddress>()> addresses,
          std::function<std::optional<std::string>()> serviceUnits)
      : root_(std::move(root)), addresses_(std::move(addresses)), serviceUnits_(std::move(serviceUnits)) {}

  std::string path(const std::string& absolute) const { return root_ + absolute; }

  // The whole file, or nullopt when it cannot be read or holds more than kMaxFile bytes.
  std::optional<std::string> read(const std::string& absolute) const {
    auto text = head(absolute, kMaxFile + 1);
    if (text && text->size() > kMaxFile) return std::nullopt;
    return text;
  }
  // A regular file below the root, open for reading, and its size; nothing for anything else (a
  // FIFO, a device): opening a FIFO would wait for a writer and a device may never end. The open
  // itself never blocks.
  std::optional<std::pair<Fd, off_t>> openRegular(const std::string& absolute) const {
    Fd fd(::open(path(absolute).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return std::pair{std::move(fd), st.st_size};
  }
  // At most the first `limit` bytes of a regular file (openRegular).
  std::optional<std::string> head(const std::string& absolute, size_t limit) const {
    const auto file = openRegular(absolute);
    if (!file) return std::nullopt;
    std::optional<std::string> text(std::in_place);
    // Room for the whole file at once: a text grown block by block would pass through twice its
    // size (every step a fresh allocation), and fresh pages are what reading costs most. Files of
    // /proc and /sys say 0 and grow as they are read.
    text->reserve(std::min(static_cast<size_t>(std::max<off_t>(file->second, 0)), limit));
    char buffer[65536];
    while (text->size() < limit) {
      const ssize_t n = ::read(file->first.get(), buffer, std::min(sizeof buffer, limit - text->size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) text.reset();
      if (n <= 0) break;
      text->append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
  // The first line, trimmed; nullopt when the file is missing or that line is empty.
  std::optional<std::string> line(const std::string& absolute) const {
    const auto text = head(absolute, kMaxLine);
    if (!text) return std::nullopt;
    std::string first = trim(std::string_view(*text).substr(0, text->find('\n')));
    if (first.empty()) return std::nullopt;
    return first;
  }
  std::optional<std::int64_t> integer(const std::string& absolute) const {
    const auto text = line(absolute);
    if (!text) return std::nullopt;
    char* end = nullptr;
    const long long v = std::strtoll(text->c_str(), &end, 0);
    if (end == text->c_str() || *end != '\0') return std::nullopt;
    return v;
  }
  // The entries of a folder, sorted by name, "." and ".." left out; none when it cannot be read.
  std::vector<std::string> list(const std::string& absolute) const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path(absolute).c_str())) {
      while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  bool exists(const std::string& absolute) const {
    struct stat st;
    return ::lstat(path(absolute).c_str(), &st) == 0;
  }
  std::optional<struct stat> status(const std::string& absolute) const {
    struct stat st;
    if (::stat(path(absolute).c_str(), &st) != 0) return std::nullopt;
    return st;
  }
  std::optional<std::string> link(const std::string& absolute) const {
    char target[4096];
    const ssize_t n = ::readlink(path(absolute).c_str(), target, sizeof target);
    if (n <= 0 || n == sizeof target) return std::nullopt;
    return std::string(target, n);
  }
  std::optional<struct statvfs> fsStatus(const std::string& absolute) const {
    struct statvfs st;
    if (::statvfs(path(absolute).c_str(), &st) != 0) return std::nullopt;
    return st;
  }

  // The short host name, as the inventory script writes it.
  std::string hostName() const {
    if (!hostName_) {
      auto name = line("/proc/sys/kernel/hostname");
      if (!name) name = line("/etc/hostname");
      hostName_ = name ? name->substr(0, name->find('.')) : std::string();
    }
    return *hostName_;
  }
  std::string upperHostName() const {
    std::string name = hostName();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  }
  std::vector<InterfaceAddress> addresses() const {
    return addresses_ ? addresses_() : std::vector<InterfaceAddress>();
  }
  bool live() const { return root_.empty(); }
  // False when the policy leaves the extended inventory out (the software outside dpkg included).
  bool extendedInventory() const { return extendedInventory_; }
  void setExtendedInventory(bool on) { extendedInventory_ = on; }
  // systemd's list of loaded services, where systemd runs the audited machine.
  std::optional<std::string> serviceUnits() const { return serviceUnits_ ? serviceUnits_() : std::nullopt; }
  // A vendor as sysfs gives it: a PCI vendor id ("0x1af4", virtio) becomes the vendor's name from
  // hwdata's pci.ids (or the pci.ids package's copy), else from a few ids built in; an id that
  // neither knows gives nothing; any other text is the name itself.
  std::optional<std::string> vendorName(const std::string& vendor) const {
    if (!isPciId(vendor)) return vendor;
    const std::string id = vendor.substr(2);
    for (const char* file : {"/usr/share/hwdata/pci.ids", "/usr/share/misc/pci.ids"}) {
      const devsrc::IdsIndex* index = idsIndex(file);
      if (!index) continue;
      // Only the vendor's own line is read again; the built-in names stand in for an unlisted id.
      const auto* block = index->find(devsrc::parseHex(id, 0xFFFF).value_or(0x10000));
      return pciVendorName(block ? range(file, block->offset, block->lineEnd).value_or("") : "", id);
    }
    return pciVendorName("", id);
  }
  // The names of the wanted ids in an ids file: each vendor's block is read from the file's index.
  std::optional<std::map<std::pair<unsigned, unsigned>, devsrc::IdNames>> idNames(
      const std::string& absolute, const std::set<std::pair<unsigned, unsigned>>& wanted) const {
    const devsrc::IdsIndex* index = idsIndex(absolute);
    if (!index) return std::nullopt;
    std::map<std::pair<unsigned, unsigned>, devsrc::IdNames> names;
    for (auto first = wanted.begin(); first != wanted.end();) {
      const unsigned vendor = first->first;
      auto last = first;
      while (last != wanted.end() && last->first == vendor) ++last;
      const auto* block = index->find(vendor);
      if (const auto text = block ? range(absolute, block->offset, block->end) : std::nullopt)
        names.merge(devsrc::lookupIds(*text, std::set<std::pair<unsigned, unsigned>>(first, last)));
      first = last;
    }
    return names;
  }
  // 64 or 32: the ELF class of the system's shell, which is what the installed system runs.
  std::optional<std::int64_t> osBits() const {
    const auto elf = head("/bin/sh", 5);
    if (!elf || elf->size() < 5 || elf->compare(0, 4, "\177ELF") != 0) return std::nullopt;
    return (*elf)[4] == 2 ? 64 : 32;
  }

 private:
  std::string root_;
  std::function<std::vector<InterfaceAddress>()> addresses_;
  std::function<std::optional<std::string>()> serviceUnits_;
  mutable std::optional<std::string> hostName_;
  bool extendedInventory_ = true;
  // The index of an ids file below the root, made in one pass on first use and kept for the
  // provider's life, so that every class that names devices shares one reading of the file;
  // nullptr when the file cannot be read or holds more than kMaxFile bytes.
  const devsrc::IdsIndex* idsIndex(const std::string& absolute) const {
    auto [it, added] = idsIndexes_.try_emplace(absolute);
    if (!added) return it->second ? &*it->second : nullptr;
    const auto file = openRegular(absolute);
    if (!file) return nullptr;
    devsrc::IdsIndex index;
    std::uint64_t total = 0;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(file->first.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return nullptr;
      if (n == 0) break;
      total += static_cast<std::uint64_t>(n);
      if (total > kMaxFile) return nullptr;
      index.feed(std::string_view(buffer, static_cast<size_t>(n)));
    }
    index.finish();
    it->second = std::move(index);
    return &*it->second;
  }
  // The bytes [offset, end) of a regular file below the root; nullopt when it cannot be read.
  std::optional<std::string> range(const std::string& absolute, std::uint64_t offset,
                                   std::uint64_t end) const {
    if (end < offset || end - offset > kMaxFile) return std::nullopt;
    const auto file = openRegular(absolute);
    if (!file) return std::nullopt;
    std::string text(end - offset, '\0');
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n =
          ::pread(file->first.get(), text.data() + done, text.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    text.resize(done);  // a file that shrank since it was indexed gives what is left
    return text;
  }

  mutable std::map<std::string, std::optional<devsrc::IdsIndex>> idsIndexes_;
};

std::vector<InterfaceAddress> systemAddresses() {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || !a->ifa_name) continue;
    const int family = a->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char address[INET6_ADDRSTRLEN] = "", mask[INET6_ADDRSTRLEN] = "";
    const auto text = [family](const sockaddr* sa, char* buf) {
      if (!sa) return;
      const void* raw = family == AF_INET
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
      ::inet_ntop(family, raw, buf, INET6_ADDRSTRLEN);
    };
    text(a->ifa_addr, address);
    text(a->ifa_netmask, mask);
    out.push_back({a->ifa_name, address, mask, family == AF_INET6});
  }
  ::freeifaddrs(list);
  return out;
}

// The output of `<systemctl> list-units` for services, all of them in one call; nothing when it cannot
// be run, fails, or takes longer than kSystemctlTimeoutMs. The program is KN_SYSTEMCTL, else systemctl.
constexpr int kSystemctlTimeoutMs = 10000;
constexpr size_t kMaxSystemctlOutput = size_t{8} << 20;

std::optional<std::string> systemctlServiceUnits() {
  const char* configured = std::getenv("KN_SYSTEMCTL");
  std::string program = configured && *configured ? configured : "systemctl";
  std::vector<std::string> args = {program,   "list-units", "--type=service", "--all",
                                   "--plain", "--full",     "--no-legend",    "--no-pager"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (error != 0) {
    ::close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  bool ok = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSystemctlTimeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) == 0) {
      ok = false;
      break;
    }
    char buffer[65536];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (out.size() + static_cast<size_t>(n) > kMaxSystemctlOutput) {
      ok = false;
      break;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (!ok) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

// ---- Class declarations -------------------------------------------------------------------------

struct PropertyDef {
  const char* name;
  int type;
  const char* source;  // where Linux keeps the fact; the class-by-class table of WMIMapping.md
  bool isArray = false;
};

class Instances;
using Filler = void (*)(const Machine&, Instances&);

// The most instances of a class that are listed. Most classes hold what an administrator made, but
// a user can start processes by the thousand and make files and mounts; no class then grows the
// audit without bound. A busy server runs a few thousand processes (this 2-core build machine about
// 110, at about 0.6 KB of document each); Debian's archive holds about 64,000 packages of an
// architecture, all of which fit the products' own bound.
constexpr size_t kMaxInstances = 10000;
constexpr size_t kMaxProducts = 100000;

struct ClassDef {
  const char* name;
  std::vector<PropertyDef> properties;
  Filler fill;
  size_t maxInstances = kMaxInstances;
};

template <typename T>
WmiValue valueOf(T&& value) {
  using V = std::decay_t<T>;
  if constexpr (std::is_same_v<V, bool> || std::is_same_v<V, WmiValue>) {
    return value;
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    return std::to_string(value);
  } else if constexpr (std::is_integral_v<V>) {
    return static_cast<std::int64_t>(value);
  } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
    return std::forward<T>(value);
  } else if constexpr (requires { value.has_value(); }) {
    return value ? valueOf(*std::forward<T>(value)) : WmiValue();
  } else {
    return std::string(std::forward<T>(value));
  }
}

// The instances of one class under construction: every declared property starts null.
class Instances {
 public:
  explicit Instances(const ClassDef& def) : def_(def) {}

  class Row {
   public:
    Row(const ClassDef& def) : def_(&def), values_(def.properties.size()) {}
    // Sets a declared property; an empty optional leaves it null.
    // Every text is cut to kMaxFactLength characters as it is set (FactText.h).
    template <typename T>
    Row& set(std::string_view name, T&& value) {
      WmiValue v = valueOf(std::forward<T>(value));
      if (auto* text = std::get_if<std::string>(&v)) boundFact(*text);
      if (auto* list = std::get_if<std::vector<std::string>>(&v))
        for (std::string& text : *list) boundFact(text);
      const size_t i = index(name);
      // 64-bit integers travel as decimal text, as WMI delivers them.
      if (def_->properties[i].type == kCimUint64 || def_->properties[i].type == kCimSint64)
        if (const auto* n = std::get_if<std::int64_t>(&v)) v = std::to_string(*n);
      values_[i] = std::move(v);
      return *this;
    }

    WmiObject take() {
      WmiObject object;
      object.reserve(values_.size());
      for (size_t i = 0; i < values_.size(); ++i) {
        const PropertyDef& p = def_->properties[i];
        object.push_back({p.name, def_->name, std::move(values_[i]), p.type, p.isArray});
      }
      return object;
    }

   private:
    size_t index(std::string_view name) const {
      for (size_t i = 0; i < def_->properties.size(); ++i)
        if (name == def_->properties[i].name) return i;
      throw std::logic_error(std::string(def_->name) + " declares no property " + std::string(name));
    }
    const ClassDef* def_;
    std::vector<WmiValue> values_;
  };

  // A new instance; past the class's bound a row that is dropped (the bound is then hit()).
  Row& add() {
    if (more()) return rows_.emplace_back(def_);
    spare_.emplace(def_);
    return *spare_;
  }
  // Room for another instance; false once the class holds its bound, which is then hit(). A filler
  // that reads files per instance stops there.
  bool more() {
    if (rows_.size() < def_.maxInstances) return true;
    hit_ = true;
    return false;
  }
  bool hit() const { return hit_; }

  std::vector<WmiObject> take() {
    std::vector<WmiObject> out;
    out.reserve(rows_.size());
    for (Row& r : rows_) out.push_back(r.take());
    return out;
  }

 private:
  const ClassDef& def_;
  std::vector<Row> rows_;
  std::optional<Row> spare_;
  bool hit_ = false;
};

// f(*o) when `o` holds a value.
template <typename T, typename F>
auto mapped(const std::optional<T>& o, F&& f) -> std::optional<std::decay_t<decltype(f(*o))>> {
  if (!o) return std::nullopt;
  return f(*o);
}

template <typename T, typename F>
std::optional<T> orElse(std::optional<T> o, F&& f) {
  return o ? o : f();
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string baseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

const std::string kDmi = "/sys/class/dmi/id/";

// ---- Fillers ------------------------------------------------------------------------------------

void fillProduct(const Machine& m, Instances& out) {
  const auto status = m.read("/var/lib/dpkg/status");
  if (!status) return;
  for (const DpkgPackage& p : parseDpkgStatus(*status)) {
    const std::string name = p.qualifiedName();
    out.add()
        .set("Name", name)
        .set("Caption", name)
        .set("IdentifyingNumber", name)
        .set("Version", p.version)
        .set("Vendor", nonEmpty(p.maintainer))
        .set("Description", nonEmpty(p.summary))
        .set("URLInfoAbout", nonEmpty(p.homepage))
        .set("InstallState", 5);
  }
}

struct NetInterface {
  std::string name;
  std::optional<std::int64_t> index;
};

void fillNetworkAdapterConfiguration(const Machine& m, Instances& out) {
  const auto addresses = m.addresses();
  const auto routes = parseProcNetRoute(m.read("/proc/net/route").value_or(""));
  std::vector<std::string> dnsServers;
  std::optional<std::string> dnsDomain;
  if (const auto text = m.read("/etc/resolv.conf")) {
    size_t pos = 0;
    while (pos < text->size()) {
      size_t end = text->find('\n', pos);
      if (end == std::string::npos) end = text->size();
      const std::string line = trim(std::string_view(*text).substr(pos, end - pos));
      pos = end + 1;
      if (startsWith(line, "nameserver")) {
        dnsServers.push_back(trim(std::string_view(line).substr(10)));
      } else if (!dnsDomain && (startsWith(line, "domain") || startsWith(line, "search"))) {
        const std::string rest = trim(std::string_view(line).substr(6));
        dnsDomain = nonEmpty(rest.substr(0, rest.find_first_of(" \t")));
      }
    }
  }
  for (const std::string& name : m.list("/sys/class/net")) {
    const std::string dir = "/sys/class/net/" + name + "/";
    if (m.integer(dir + "type") == 772) continue;  // loopback
    const auto index = m.integer(dir + "ifindex");
    std::vector<std::string> ips, subnets, gateways;
    for (const InterfaceAddress& a : addresses) {
      if (a.interface != name) continue;
      ips.push_back(a.address);
      subnets.push_back(a.netmask);
    }
    for (const Route& r : routes)
      if (r.interface == name && r.destination == "0.0.0.0" && r.gateway != "0.0.0.0")
        gateways.push_back(r.gateway);
    const bool ipEnabled = !ips.empty();
    char caption[64];
    std::snprintf(caption, sizeof caption, "[%08lld] ", static_cast<long long>(index.value_or(0)));
    auto& row = out.add();
    row.set("Index", index)
        .set("InterfaceIndex", index)
        .set("Caption", caption + name)
        .set("Description", name)
        .set("SettingID", name)
        .set("ServiceName", mapped(m.link(dir + "device/driver"), baseName))
        .set("MACAddress", mapped(m.line(dir + "address"), upper))
        .set("MTU", m.integer(dir + "mtu"))
        .set("IPEnabled", ipEnabled)
        .set("IPAddress", ips)
        .set("IPSubnet", subnets)
        .set("DefaultIPGateway", gateways);
    if (ipEnabled) {
      row.set("DNSHostName", nonEmpty(m.hostName()))
          .set("DNSDomain", dnsDomain)
          .set("DNSServerSearchOrder", dnsServers);
    }
  }
}

void fillBattery(const Machine& m, Instances& out) {
  for (const std::string& name : m.list("/sys/class/power_supply")) {
    const std::string dir = "/sys/class/power_supply/" + name + "/";
    if (m.line(dir + "type") != "Battery" || m.line(dir + "scope") == "Device") continue;
    const auto status = m.line(dir + "status").value_or("");
    const int batteryStatus = status == "Discharging" ? 1
                              : status == "Charging"  ? 6
                              : status == "Full"      ? 3
                                                      : 2;
    const auto technology = m.line(dir + "technology").value_or("");
    const int chemistry = technology == "Li-ion"                          ? 6
                          : technology == "Li-poly"                       ? 8
                          : technology == "NiMH"                          ? 5
                          : technology == "NiCd"                          ? 4
                          : technology == "Unknown" || technology.empty() ? 2
                                                                          : 1;
    const auto microvolts = m.integer(dir + "voltage_min_design");
    out.add()
        .set("DeviceID", name)
        .set("Name", m.line(dir + "model_name").value_or(name))
        .set("Caption", "Internal Battery")
        .set("Description", "Internal Battery")
        .set("EstimatedChargeRemaining", m.integer(dir + "capacity"))
        .set("BatteryStatus", batteryStatus)
        .set("Chemistry", chemistry)
        .set("DesignVoltage", microvolts ? std::optional<std::int64_t>(*microvolts / 1000) : std::nullopt)
        .set("Status", "OK");
  }
}

void fillSystemEnclosure(const Machine& m, Instances& out) {
  if (!m.exists(kDmi + "chassis_type")) return;
  std::vector<std::string> types;
  if (const auto t = m.line(kDmi + "chassis_type")) types.push_back(*t);
  out.add()
      .set("Name", "System Enclosure")
      .set("Caption", "System Enclosure")
      .set("Tag", "System Enclosure 0")
      .set("Manufacturer", m.line(kDmi + "chassis_vendor"))
      .set("SerialNumber", m.line(kDmi + "chassis_serial"))
      .set("SMBIOSAssetTag", m.line(kDmi + "chassis_asset_tag"))
      .set("Version", m.line(kDmi + "chassis_version"))
      .set("ChassisTypes", types);
}

void fillPerfOSSystem(const Machine& m, Instances& out) {
  auto& row = out.add();
  if (const auto uptime = m.line("/proc/uptime")) {
    const auto seconds = std::strtoull(uptime->c_str(), nullptr, 10);
    row.set("SystemUpTime", static_cast<std::uint64_t>(seconds));
  }
  if (const auto loadavg = m.line("/proc/loadavg")) {
    // "0.10 0.20 0.30 2/345 6789": running and total scheduling entities (threads).
    const size_t slash = loadavg->find('/');
    if (slash != std::string::npos)
      row.set("Threads", std::int64_t{std::atoll(loadavg->c_str() + slash + 1)});
  }
  if (const auto stat = m.read("/proc/stat")) {
    const size_t pos = stat->find("\nprocs_running ");
    if (pos != std::string::npos)
      row.set("ProcessorQueueLength", std::int64_t{std::atoll(stat->c_str() + pos + 15)});
  }
  const auto entries = m.list("/proc");
  row.set("Processes", std::int64_t(std::count_if(entries.begin(), entries.end(), allDigits)));
}

void fillTimeZone(const Machine& m, Instances& out) {
  auto caption = m.line("/etc/timezone");
  if (!caption) {
    if (const auto target = m.link("/etc/localtime")) {
      const size_t at = target->find("zoneinfo/");
      if (at != std::string::npos) caption = target->substr(at + 9);
    }
  }
  const auto tzif = m.read("/etc/localtime");
  const auto rule = tzif ? parsePosixTimeZone(tzifFooter(*tzif)) : std::nullopt;
  if (!caption && !rule) return;
  auto& row = out.add();
  row.set("Caption", caption).set("Description", caption);
  if (!rule) return;
  row.set("StandardName", rule->standardName)
      .set("Bias", -rule->bias)
      .set("StandardBias", 0)
      .set("DaylightName", nonEmpty(rule->daylightName))
      .set("DaylightBias", rule->daylightName.empty() ? 0 : -60);
  const auto change = [&row](const std::string& prefix, const std::optional<TimeZoneRule::Change>& c) {
    row.set(prefix + "Month", c ? c->month : 0)
        .set(prefix + "Day", c ? c->week : 0)
        .set(prefix + "DayOfWeek", c ? c->dayOfWeek : 0)
        .set(prefix + "Hour", c ? c->hour : 0);
  };
  change("Daylight", rule->daylightStart);
  change("Standard", rule->standardStart);
}

void fillBios(const Machine& m, Instances& out) {
  if (!m.exists(kDmi + "bios_vendor")) return;
  const auto version = m.line(kDmi + "bios_version");
  std::vector<std::string> versions;
  if (version) versions.push_back(*version);
  out.add()
      .set("Name", version)
      .set("Caption", version)
      .set("Description", version)
      .set("SMBIOSBIOSVersion", version)
      .set("Version", version)
      .set("BIOSVersion", versions)
      .set("Manufacturer", m.line(kDmi + "bios_vendor"))
      .set("ReleaseDate", mapped(m.line(kDmi + "bios_date"), biosDateToWmi).value_or(std::nullopt))
      .set("SerialNumber", m.line(kDmi + "product_serial"))
      .set("SMBIOSPresent", true)
      .set("PrimaryBIOS", true)
      .set("Status", "OK");
}

void fillBaseBoard(const Machine& m, Instances& out) {
  if (!m.exists(kDmi + "board_name")) return;
  out.add()
      .set("Name", "Base Board")
      .set("Caption", "Base Board")
      .set("Tag", "Base Board")
      .set("Manufacturer", m.line(kDmi + "board_vendor"))
      .set("Product", m.line(kDmi + "board_name"))
      .set("SerialNumber", m.line(kDmi + "board_serial"))
      .set("Version", m.line(kDmi + "board_version"))
      .set("HostingBoard", true)
      .set("Status", "OK");
}

void fillCDROMDrive(const Machine& m, Instances& out) {
  for (const std::string& name : m.list("/sys/block")) {
    if (!startsWith(name, "sr")) continue;
    const std::string dir = "/sys/block/" + name + "/device/";
    const auto vendor = m.line(dir + "vendor"), model = m.line(dir + "model");
    const std::string caption = trim(vendor.value_or("") + " " + model.value_or(""));
    out.add()
        .set("DeviceID", "/dev/" + name)
        .set("Drive", "/dev/" + name)
        .set("Name", nonEmpty(caption))
        .set("Caption", nonEmpty(caption))
        .set("Manufacturer", vendor)
        .set("MediaType", "CD-ROM")
        .set("Status", "OK");
  }
}

void fillVideoController(const Machine& m, Instances& out) {
  const auto cards = m.list("/sys/class/drm");
  int n = 0;
  for (const std::string& card : cards) {
    if (!startsWith(card, "card") || !allDigits(std::string_view(card).substr(4))) continue;
    const std::string dir = "/sys/class/drm/" + card + "/device/";
    const auto driver = mapped(m.link(dir + "driver"), baseName);
    const auto vendor = m.line(dir + "vendor"), device = m.line(dir + "device");
    std::optional<std::string> pnp;
    if (vendor && device && vendor->size() == 6 && device->size() == 6)
      pnp = "PCI\\VEN_" + upper(vendor->substr(2)) + "&DEV_" + upper(device->substr(2));
    auto& row = out.add();
    row.set("DeviceID", "VideoController" + std::to_string(++n))
        .set("Name", driver)
        .set("Caption", driver)
        .set("Description", driver)
        .set("InstalledDisplayDrivers", driver)
        .set("PNPDeviceID", pnp)
        .set("Status", "OK");
    // The first connected output's preferred mode, "1920x1080".
    for (const std::string& connector : cards) {
      if (!startsWith(connector, card + "-")) continue;
      const std::string cdir = "/sys/class/drm/" + connector + "/";
      if (m.line(cdir + "status") != "connected") continue;
      const auto mode = m.line(cdir + "modes");
      int w = 0, h = 0;
      if (mode && std::sscanf(mode->c_str(), "%dx%d", &w, &h) == 2) {
        row.set("CurrentHorizontalResolution", w).set("CurrentVerticalResolution", h);
        break;
      }
    }
  }
}

void fillDiskDrive(const Machine& m, Instances& out) {
  int index = 0;
  for (const std::string& name : m.list("/sys/block")) {
    const std::string dir = "/sys/block/" + name + "/";
    // Physical disks only: they have a device behind them; optical drives are CD-ROM drives.
    if (!m.exists(dir + "device") || startsWith(name, "sr") || startsWith(name, "loop")) continue;
    const auto target = m.link("/sys/block/" + name).value_or("");
    const std::string interface = target.find("/usb") != std::string::npos ? "USB"
                                  : startsWith(name, "hd")                 ? "IDE"
                                                                           : "SCSI";
    const auto sectors = m.integer(dir + "size");
    int partitions = 0;
    for (const std::string& entry : m.list("/sys/block/" + name))
      if (startsWith(entry, name) && m.exists(dir + entry + "/partition")) ++partitions;
    const bool removable = m.integer(dir + "removable") == 1;
    auto model = m.line(dir + "device/model");
    out.add()
        .set("DeviceID", "/dev/" + name)
        .set("Name", "/dev/" + name)
        .set("Index", index++)
        .set("Caption", model)
        .set("Model", model)
        .set("Manufacturer",
             mapped(m.line(dir + "device/vendor"), [&m](const std::string& v) { return m.vendorName(v); })
                 .value_or(std::nullopt))
        .set("SerialNumber", orElse(m.line(dir + "device/serial"), [&] { return m.line(dir + "serial"); }))
        .set("FirmwareRevision",
             orElse(m.line(dir + "device/firmware_rev"), [&] { return m.line(dir + "device/rev"); }))
        .set("InterfaceType", interface)
        .set("MediaType", removable ? "Removable Media" : "Fixed hard disk media")
        .set("BytesPerSector", m.integer(dir + "queue/logical_block_size"))
        .set("Size", sectors ? std::optional<std::int64_t>(*sectors * 512) : std::nullopt)
        .set("Partitions", partitions)
        .set("Status", "OK");
  }
}

// Mounted file systems that hold data: block devices (loop devices of images left out) and network
// shares, first mount of each mount point.
struct FileSystem {
  Mount mount;
  bool network = false;
};
std::vector<FileSystem> fileSystems(const Machine& m) {
  static const std::set<std::string> kNetwork = {"nfs",   "nfs4",  "cifs",      "smb3",
                                                 "smbfs", "sshfs", "fuse.sshfs"};
  std::vector<FileSystem> out;
  std::set<std::string> seen;
  for (Mount& mount : parseMounts(m.read("/proc/mounts").value_or(""))) {
    const bool network = kNetwork.count(mount.type) > 0;
    if (!network && (!startsWith(mount.device, "/dev/") || startsWith(mount.device, "/dev/loop"))) continue;
    if (!seen.insert(mount.mountPoint).second) continue;
    out.push_back({std::move(mount), network});
  }
  return out;
}

// The label of a block device, from /dev/disk/by-label.
std::optional<std::string> deviceLabel(const Machine& m, const std::string& device) {
  for (const std::string& label : m.list("/dev/disk/by-label")) {
    const auto target = m.link("/dev/disk/by-label/" + label);
    if (target && baseName(*target) == baseName(device)) {
      // udev escapes blanks and slashes as \x20 and \x2f.
      std::string text = label;
      for (size_t at; (at = text.find("\\x")) != std::string::npos && at + 4 <= text.size();)
        text.replace(at, 4, 1, static_cast<char>(std::strtol(text.substr(at + 2, 2).c_str(), nullptr, 16)));
      return text;
    }
  }
  return std::nullopt;
}

void fillLogicalDisk(const Machine& m, Instances& out) {
  for (const FileSystem& fs : fileSystems(m)) {
    const bool removable =
        !fs.network && m.integer("/sys/class/block/" + baseName(fs.mount.device) + "/removable") == 1;
    const int driveType = fs.network ? 4 : removable ? 2 : 3;
    auto& row = out.add();
    row.set("DeviceID", fs.mount.mountPoint)
        .set("Name", fs.mount.mountPoint)
        .set("Caption", fs.mount.mountPoint)
        .set("Description", fs.network  ? "Network Connection"
                            : removable ? "Removable Disk"
                                        : "Local Fixed Disk")
        .set("DriveType", driveType)
        .set("FileSystem", fs.mount.type)
        .set("ProviderName", fs.network ? std::optional<std::string>(fs.mount.device) : std::nullopt)
        .set("VolumeName", fs.network ? std::nullopt : deviceLabel(m, fs.mount.device));
    if (fs.network) continue;  // statvfs on a share whose server is gone blocks for good
    row.set("MediaType", removable ? 11 : 12);
    if (const auto st = m.fsStatus(fs.mount.mountPoint)) {
      row.set("Size", static_cast<std::uint64_t>(st->f_blocks) * st->f_frsize)
          .set("FreeSpace", static_cast<std::uint64_t>(st->f_bavail) * st->f_frsize)
          .set("VolumeSerialNumber", nonEmpty([&] {
                 char serial[16];
                 std::snprintf(serial, sizeof serial, "%08X",
                               static_cast<unsigned>(st->f_fsid & 0xFFFFFFFFu));
                 return std::string(serial);
               }()));
    }
  }
}

void fillLogicalDiskToPartition(const Machine& m, Instances& out) {
  for (const FileSystem& fs : fileSystems(m)) {
    if (fs.network || !m.exists("/sys/class/block/" + baseName(fs.mount.device) + "/partition")) continue;
    out.add()
        .set("Antecedent", "Win32_DiskPartition.DeviceID=\"" + fs.mount.device + "\"")
        .set("Dependent", "Win32_LogicalDisk.DeviceID=\"" + fs.mount.mountPoint + "\"");
  }
}

void fillVolume(const Machine& m, Instances& out) {
  for (const FileSystem& fs : fileSystems(m)) {
    if (fs.network) continue;
    const bool removable = m.integer("/sys/class/block/" + baseName(fs.mount.device) + "/removable") == 1;
    auto& row = out.add();
    row.set("DeviceID", fs.mount.device)
        .set("Name", fs.mount.mountPoint)
        .set("Caption", fs.mount.mountPoint)
        .set("FileSystem", fs.mount.type)
        .set("Label", deviceLabel(m, fs.mount.device))
        .set("DriveType", removable ? 2 : 3);
    if (const auto st = m.fsStatus(fs.mount.mountPoint)) {
      row.set("Capacity", static_cast<std::uint64_t>(st->f_blocks) * st->f_frsize)
          .set("FreeSpace", static_cast<std::uint64_t>(st->f_bavail) * st->f_frsize)
          .set("BlockSize", static_cast<std::uint64_t>(st->f_bsize))
          .set("SerialNumber", static_cast<std::int64_t>(st->f_fsid & 0xFFFFFFFFu));
    }
  }
}

void fillEnvironment(const Machine& m, Instances& out) {
  for (const auto& [name, value] : parseKeyValues(m.read("/etc/environment").value_or(""))) {
    out.add()
        .set("Name", name)
        .set("VariableValue", value)
        .set("UserName", "<SYSTEM>")
        .set("SystemVariable", true)
        .set("Caption", "<SYSTEM>\\" + name)
        .set("Description", "<SYSTEM>\\" + name)
        .set("Status", "OK");
  }
}

void fillUserAccount(const Machine& m, Instances& out) {
  const auto passwd = m.read("/etc/passwd");
  if (!passwd) return;
  const auto shadowText = m.read("/etc/shadow");
  std::map<std::string, ShadowEntry> shadow;
  if (shadowText)
    for (ShadowEntry& s : parseShadow(*shadowText)) shadow.emplace(s.name, std::move(s));
  const long today = static_cast<long>(std::time(nullptr) / 86400);
  const std::string domain = m.upperHostName();
  for (const PasswdEntry& p : parsePasswd(*passwd)) {
    const bool noLogin = p.shell.ends_with("/nologin") || p.shell.ends_with("/false");
    const auto s = shadow.find(p.name);
    auto& row = out.add();
    row.set("Name", p.name)
        .set("Caption", domain + "\\" + p.name)
        .set("Domain", domain)
        .set("FullName", p.gecos.substr(0, p.gecos.find(',')))
        .set("Description", nonEmpty(p.gecos))
        .set("SID", std::to_string(p.uid))
        .set("SIDType", 1)
        .set("AccountType", 512)
        .set("LocalAccount", true)
        .set("Lockout", false)
        .set("Status", "OK");
    if (s != shadow.end()) {
      const ShadowEntry& e = s->second;
      const bool locked = startsWith(e.password, "!") || startsWith(e.password, "*");  // as passwd -S
      const bool expired = e.expireDay && *e.expireDay >= 0 && *e.expireDay <= today;
      row.set("Disabled", noLogin || locked || expired)
          .set("PasswordRequired", !e.password.empty())
          .set("PasswordExpires", e.maxDays.has_value() && *e.maxDays >= 0 && *e.maxDays < 99999)
          .set("PasswordChangeable", !(e.minDays && e.maxDays && *e.maxDays >= 0 && *e.minDays > *e.maxDays));
    } else {
      // Without the shadow file only the shell tells anything; "x" means "ask the shadow file".
      if (noLogin) row.set("Disabled", true);
      if (p.password != "x") row.set("PasswordRequired", !p.password.empty());
    }
  }
}

void fillGroup(const Machine& m, Instances& out) {
  const std::string domain = m.upperHostName();
  for (const GroupEntry& g : parseGroup(m.read("/etc/group").value_or(""))) {
    out.add()
        .set("Name", g.name)
        .set("Caption", domain + "\\" + g.name)
        .set("Domain", domain)
        .set("SID", std::to_string(g.gid))
        .set("SIDType", 4)
        .set("LocalAccount", true)
        .set("Status", "OK");
  }
}

void fillCodecFile(const Machine&, Instances&) {
  // Linux keeps no registry of installed media codecs: no instances.
}

void fillIP4RouteTable(const Machine& m, Instances& out) {
  for (const Route& r : parseProcNetRoute(m.read("/proc/net/route").value_or(""))) {
    if (!(r.flags & 1)) continue;  // RTF_UP
    out.add()
        .set("Destination", r.destination)
        .set("Mask", r.mask)
        .set("NextHop", r.gateway)
        .set("Name", r.destination)
        .set("Caption", r.destination)
        .set("Description", r.destination + " - " + r.mask + " - " + r.gateway)
        .set("InterfaceIndex", m.integer("/sys/class/net/" + r.interface + "/ifindex"))
        .set("Metric1", r.metric)
        .set("Type", r.gateway == "0.0.0.0" ? 3 : 4)
        .set("Information", "0.0.0.0");
  }
}

void fillNTEventLogFile(const Machine& m, Instances& out) {
  for (const std::string& name : m.list("/var/log")) {
    const std::string path = "/var/log/" + name;
    const auto st = m.status(path);
    if (!st || !S_ISREG(st->st_mode)) continue;
    const size_t dot = name.find('.');
    const std::string stem = name.substr(0, dot);
    out.add()
        .set("Name", path)
        .set("Caption", path)
        .set("LogfileName", name)
        .set("FileName", stem)
        .set("Extension", dot == std::string::npos ? std::string() : name.substr(dot + 1))
        .set("FileSize", static_cast<std::uint64_t>(st->st_size))
        .set("LastModified", wmiDateTime(st->st_mtime))
        .set("Compressed", name.ends_with(".gz") || name.ends_with(".xz") || name.ends_with(".zst"))
        .set("Readable", ::access(m.path(path).c_str(), R_OK) == 0)
        .set("Status", "OK");
  }
}

// The boot time from /proc/stat's "btime" line, in seconds since 1970.
std::optional<std::time_t> bootTime(const Machine& m) {
  const auto stat = m.read("/proc/stat");
  if (!stat) return std::nullopt;
  const size_t at = stat->find("btime ");
  if (at == std::string::npos || (at > 0 && (*stat)[at - 1] != '\n')) return std::nullopt;
  return static_cast<std::time_t>(std::atoll(stat->c_str() + at + 6));
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
  if (const auto cmdline = m.line("/proc/cmdline")) {
    for (size_t pos = 0; pos < cmdline->size();) {
      size_t end = cmdline->find(' ', pos);
      if (end == std::string::npos) end = cmdline->size();
      if (startsWith(std::string_view(*cmdline).substr(pos), "root="))
        bootDevice = cmdline->substr(pos + 5, end - pos - 5);
      pos = end + 1;
    }
  }
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
      .set("LastBootUpTime", mapped(bootTime(m), [](std::time_t t) { return wmiDateTime(t); }))
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
      row.set("CreationDate", wmiDateTime(*boot + static_cast<std::time_t>(stat->startTicks / ticks)));
  }
}

void fillComputerSystemProduct(const Machine& m, Instances& out) {
  if (!m.exists(kDmi + "product_name")) return;
  out.add()
      .set("Name", m.line(kDmi + "product_name"))
      .set("Vendor", m.line(kDmi + "sys_vendor"))
      .set("Version", m.line(kDmi + "product_version"))
      .set("IdentifyingNumber", m.line(kDmi + "product_serial"))
      .set("UUID", mapped(m.line(kDmi + "product_uuid"), upper))
      .set("SKUNumber", m.line(kDmi + "product_sku"))
      .set("Caption", "Computer System Product")
      .set("Description", "Computer System Product");
}

// The level 2 and level 3 caches of one package in KB, as Windows sizes them: every cache of the level
// that one of the package's processors uses, counted once (sysfs lists a shared cache under each
// processor that shares it, with the same shared_cpu_list); instruction caches left out. A cache
// listed without shared_cpu_list or id is taken once per level.
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

void fillPhysicalMemory(const Machine& m, Instances& out) {
  int n = 0;
  for (const std::string& entry : m.list("/sys/firmware/dmi/entries")) {
    if (!startsWith(entry, "17-")) continue;
    const auto raw = m.read("/sys/firmware/dmi/entries/" + entry + "/raw");
    const auto d = raw ? parseSmbiosMemoryDevice(*raw) : std::nullopt;
    if (!d || !d->capacityBytes) continue;  // an empty slot
    const auto text = [](const std::string& s) { return nonEmpty(s); };
    const auto code = [](int v) { return v ? std::optional<std::int64_t>(v) : std::nullopt; };
    out.add()
        .set("Tag", "Physical Memory " + std::to_string(n++))
        .set("Name", "Physical Memory")
        .set("Caption", "Physical Memory")
        .set("Capacity", *d->capacityBytes)
        .set("DeviceLocator", text(d->deviceLocator))
        .set("BankLabel", text(d->bankLocator))
        .set("Manufacturer", text(d->manufacturer))
        .set("SerialNumber", text(d->serialNumber))
        .set("PartNumber", text(d->partNumber))
        .set("Speed", code(d->speed))
        .set("ConfiguredClockSpeed", code(d->configuredSpeed))
        .set("FormFactor", code(d->formFactor))
        .set("SMBIOSMemoryType", code(d->memoryType))
        .set("TypeDetail", code(d->typeDetail))
        .set("DataWidth", code(d->dataWidth))
        .set("TotalWidth", code(d->totalWidth));
  }
}

void fillService(const Machine& m, Instances& out) {
  // Unit folders in systemd's order of precedence: the first file of a name wins.
  static const char* const kUnitDirs[] = {"/etc/systemd/system", "/run/systemd/system",
                                          "/usr/local/lib/systemd/system", "/lib/systemd/system",
                                          "/usr/lib/systemd/system"};
  std::map<std::string, std::string> units;      // "name.service" -> its file, sorted by name
  std::map<std::string, std::string> templates;  // "getty@.service" -> its file
  std::set<std::string> masked, enabled;
  for (const char* dir : kUnitDirs) {
    const std::string base = dir;
    for (const std::string& name : m.list(base)) {
      const std::string file = base + "/" + name;
      if (name.ends_with(".service")) {
        const auto target = m.link(file);
        if (target == "/dev/null") {
          masked.insert(name);
        } else if (target && baseName(*target) != name) {
          // an alias link to another unit is no service of its own
        } else if (name.ends_with("@.service")) {
          templates.emplace(name, file);
        } else if (!units.count(name) && !masked.count(name)) {
          units.emplace(name, file);
        }
      } else if (name.ends_with(".wants") || name.ends_with(".requires")) {
        // Wanted by a target, whether an administrator enabled it or the distribution ships it so.
        for (const std::string& wanted : m.list(file)) enabled.insert(wanted);
      }
    }
  }
  // Enabled instances of templates ("getty@tty1.service") are services of their own.
  for (const std::string& wanted : enabled) {
    const size_t at = wanted.find('@');
    if (!wanted.ends_with(".service") || at == std::string::npos || wanted.ends_with("@.service")) continue;
    const auto t = templates.find(wanted.substr(0, at + 1) + ".service");
    if (t != templates.end() && !masked.count(wanted)) units.emplace(wanted, t->second);
  }
  for (const std::string& name : masked) units.emplace(name, "");
  // Where systemd runs the audited machine: the state of every loaded service, and the loaded
  // services no unit file on disk names (generated or transient ones).
  std::map<std::string, ServiceUnitState> states;
  if (const auto listed = m.serviceUnits()) {
    for (ServiceUnitState& u : parseListUnits(*listed)) {
      if (u.load != "not-found" && !u.name.ends_with("@.service")) units.emplace(u.name, "");
      states.emplace(u.name, std::move(u));
    }
  }
  for (const auto& [file, path] : units) {
    const std::string name = file.substr(0, file.size() - 8);
    const auto state = states.find(file);
    UnitFile unit = path.empty() ? UnitFile() : parseUnitFile(m.read(path).value_or(""));
    if (unit.description.empty() && state != states.end()) unit.description = state->second.description;
    const std::string mode = masked.count(file) ? "Disabled" : enabled.count(file) ? "Auto" : "Manual";
    auto& row = out.add();
    row.set("Name", name)
        .set("DisplayName", nonEmpty(unit.description).value_or(name))
        .set("Caption", nonEmpty(unit.description).value_or(name))
        .set("Description", nonEmpty(unit.description))
        .set("PathName", nonEmpty(unit.execStart))
        .set("StartMode", mode)
        .set("StartName", path.empty() ? std::optional<std::string>() : nonEmpty(unit.user).value_or("root"))
        .set("ServiceType", "Own Process")
        .set("SystemName", nonEmpty(m.hostName()));
    if (state != states.end()) {
      const std::string& active = state->second.active;
      const std::string text = active == "active" || active == "reloading" ? "Running"
                               : active == "activating"                    ? "Start Pending"
                               : active == "deactivating"                  ? "Stop Pending"
                                                                           : "Stopped";
      row.set("State", text).set("Started", text == "Running");
    } else if (!states.empty()) {
      row.set("State", "Stopped").set("Started", false);  // systemd has not loaded it
    }
  }
}

void fillSCSIController(const Machine& m, Instances& out) {
  for (const std::string& host : m.list("/sys/class/scsi_host")) {
    const auto driver = m.line("/sys/class/scsi_host/" + host + "/proc_name");
    out.add()
        .set("DeviceID", host)
        .set("Name", driver)
        .set("Caption", driver)
        .set("Description", driver)
        .set("DriverName", driver)
        .set("Status", "OK");
  }
}

void fillSoundDevice(const Machine& m, Instances& out) {
  for (const SoundCard& card : parseAsoundCards(m.read("/proc/asound/cards").value_or(""))) {
    out.add()
        .set("DeviceID", "card" + std::to_string(card.index))
        .set("Name", card.name)
        .set("ProductName", card.name)
        .set("Caption", card.name)
        .set("Description", card.driver)
        .set("StatusInfo", 3)
        .set("Status", "OK");
  }
}

void fillShare(const Machine& m, Instances& out) {
  for (const IniSection& s : parseIniSections(m.read("/etc/samba/smb.conf").value_or(""))) {
    if (s.name == "global") continue;
    const auto yes = [&](const char* key) {
      const std::string v = field(s.values, key).value_or("");
      return v == "yes" || v == "true" || v == "1";
    };
    const bool printer = s.name == "printers" || yes("printable") || yes("print ok");
    const auto comment = field(s.values, "comment");
    const long maxConnections = std::atol(field(s.values, "max connections").value_or("0").c_str());
    auto& row = out.add();
    row.set("Name", s.name)
        .set("Path", field(s.values, "path"))
        .set("Description", comment)
        .set("Caption", comment.value_or(s.name))
        .set("Type", printer ? 1 : 0)
        .set("AllowMaximum", maxConnections <= 0)
        .set("Status", "OK");
    if (maxConnections > 0) row.set("MaximumAllowed", std::int64_t{maxConnections});
  }
}

void fillPrinter(const Machine& m, Instances& out) {
  for (const CupsPrinter& p : parseCupsPrinters(m.read("/etc/cups/printers.conf").value_or(""))) {
    const auto uri =
        mapped(field(p.values, "DeviceURI"), [](const std::string& u) { return withoutUriCredentials(u); });
    const std::string state = field(p.values, "State").value_or("");
    const bool local =
        uri && (startsWith(*uri, "usb:") || startsWith(*uri, "parallel:") || startsWith(*uri, "serial:"));
    out.add()
        .set("Name", p.name)
        .set("DeviceID", p.name)
        .set("Caption", p.name)
        .set("Comment", field(p.values, "Info"))
        .set("Location", field(p.values, "Location"))
        .set("DriverName", field(p.values, "MakeModel"))
        .set("PortName", uri)
        .set("Default", p.isDefault)
        .set("Shared", field(p.values, "Shared") == "Yes")
        .set("Network", uri.has_value() && !local)
        .set("PrinterStatus", state == "Idle"         ? 3
                              : state == "Processing" ? 4
                              : state == "Stopped"    ? 7
                                                      : 2)
        .set("Status", "OK");
  }
}

// ---- The extended inventory (InstanceProviderDevices.cpp) ----------------------------------------

// The fill functions of the extended classes read the machine through this view of the provider's
// own reader.
class MachineFilesOf : public devices::MachineFiles {
 public:
  explicit MachineFilesOf(const Machine& m) : m_(m) {}
  std::optional<std::string> read(const std::string& a) const override { return m_.read(a); }
  std::optional<std::string> head(const std::string& a, size_t limit) const override {
    return m_.head(a, limit);
  }
  std::optional<std::string> line(const std::string& a) const override { return m_.line(a); }
  std::vector<std::string> list(const std::string& a) const override { return m_.list(a); }
  std::optional<std::string> link(const std::string& a) const override { return m_.link(a); }
  bool exists(const std::string& a) const override { return m_.exists(a); }
  std::string path(const std::string& a) const override { return m_.path(a); }
  bool live() const override { return m_.live(); }
  std::string hostName() const override { return m_.hostName(); }
  std::optional<std::map<std::pair<unsigned, unsigned>, devsrc::IdNames>> idNames(
      const std::string& a, const std::set<std::pair<unsigned, unsigned>>& wanted) const override {
    return m_.idNames(a, wanted);
  }

 private:
  const Machine& m_;
};

void addRows(Instances& out, std::vector<devices::Row> rows) {
  for (devices::Row& r : rows) {
    auto& row = out.add();
    for (auto& [name, value] : r) row.set(name, std::move(value));
  }
}

template <std::vector<devices::Row> (*Fill)(const devices::MachineFiles&)>
void fillDevices(const Machine& m, Instances& out) {
  addRows(out, Fill(MachineFilesOf(m)));
}

// dpkg's packages, then those of rpm, snap and flatpak, each marked by InstallSource.
void fillProductAndOthers(const Machine& m, Instances& out) {
  fillProduct(m, out);
  if (m.extendedInventory()) addRows(out, devices::otherProducts(MachineFilesOf(m)));
}

// ---- The table ----------------------------------------------------------------------------------

const std::vector<ClassDef>& classes() {
  static const std::vector<ClassDef> table = {
      {"Win32_Product",
       {{"Name", kCimString, "dpkg status: Package (Package:Architecture for Multi-Arch: same)"},
        {"Caption", kCimString, "as Name"},
        {"IdentifyingNumber", kCimString, "as Name"},
        {"Version", kCimString, "Version"},
        {"Vendor", kCimString, "Maintainer"},
        {"Description", kCimString, "first line of Description"},
        {"URLInfoAbout", kCimString, "Homepage"},
        {"InstallState", kCimSint16, "5 (installed): only installed packages are listed"},
        {"InstallDate", kCimString, "null: dpkg keeps no install date; rpm INSTALLTIME, yyyymmdd"},
        {"InstallLocation", kCimString, "null"},
        {"InstallSource", kCimString, "null for dpkg; \"rpm\", \"snap\" or \"flatpak\""}},
       fillProductAndOthers,
       kMaxProducts},
      {"Win32_NetworkAdapterConfiguration",
       {{"Index", kCimUint32, "/sys/class/net/<if>/ifindex"},
        {"InterfaceIndex", kCimUint32, "ifindex"},
        {"Caption", kCimString, "[ifindex] name"},
        {"Description", kCimString, "interface name"},
        {"SettingID", kCimString, "interface name"},
        {"ServiceName", kCimString, "driver of /sys/class/net/<if>/device"},
        {"MACAddress", kCimString, "/sys/class/net/<if>/address, upper-case"},
        {"MTU", kCimUint32, "/sys/class/net/<if>/mtu"},
        {"IPEnabled", kCimBoolean, "the interface has an address"},
        {"IPAddress", kCimString, "getifaddrs", true},
        {"IPSubnet", kCimString, "getifaddrs netmasks", true},
        {"DefaultIPGateway", kCimString, "/proc/net/route default routes", true},
        {"DNSHostName", kCimString, "host name"},
        {"DNSDomain", kCimString, "/etc/resolv.conf domain or first search"},
        {"DNSServerSearchOrder", kCimString, "/etc/resolv.conf nameserver", true},
        {"DHCPEnabled", kCimBoolean, "null: not known without the network manager"}},
       fillNetworkAdapterConfiguration},
      {"Win32_Battery",
       {{"DeviceID", kCimString, "/sys/class/power_supply/<name>"},
        {"Name", kCimString, "model_name"},
        {"Caption", kCimString, "\"Internal Battery\""},
        {"Description", kCimString, "\"Internal Battery\""},
        {"EstimatedChargeRemaining", kCimUint16, "capacity"},
        {"BatteryStatus", kCimUint16, "status"},
        {"Chemistry", kCimUint16, "technology"},
        {"DesignVoltage", kCimUint64, "voltage_min_design / 1000"},
        {"Status", kCimString, "\"OK\""}},
       fillBattery},
      {"Win32_SystemEnclosure",
       {{"Name", kCimString, "\"System Enclosure\""},
        {"Caption", kCimString, "\"System Enclosure\""},
        {"Tag", kCimString, "\"System Enclosure 0\""},
        {"Manufacturer", kCimString, "DMI chassis_vendor"},
        {"SerialNumber", kCimString, "DMI chassis_serial"},
        {"SMBIOSAssetTag", kCimString, "DMI chassis_asset_tag"},
        {"Version", kCimString, "DMI chassis_version"},
        {"ChassisTypes", kCimUint16, "DMI chassis_type", true}},
       fillSystemEnclosure},
      {"Win32_PerfFormattedData_PerfOS_System",
       {{"SystemUpTime", kCimUint64, "/proc/uptime, whole seconds"},
        {"Processes", kCimUint32, "process folders of /proc"},
        {"Threads", kCimUint32, "/proc/loadavg, scheduling entities"},
        {"ProcessorQueueLength", kCimUint32, "/proc/stat procs_running"}},
       fillPerfOSSystem},
      {"Win32_TimeZone",
       {{"Caption", kCimString, "/etc/timezone, else the zone of the /etc/localtime link"},
        {"Description", kCimString, "as Caption"},
        {"StandardName", kCimString, "POSIX rule of /etc/localtime"},
        {"DaylightName", kCimString, "POSIX rule"},
        {"Bias", kCimSint32, "POSIX rule offset"},
        {"StandardBias", kCimUint32, "0"},
        {"DaylightBias", kCimSint32, "-60 with daylight time"},
        {"DaylightMonth", kCimUint32, "POSIX rule Mm.w.d"},
        {"DaylightDay", kCimUint32, "POSIX rule week"},
        {"DaylightDayOfWeek", kCimUint8, "POSIX rule day"},
        {"DaylightHour", kCimUint32, "POSIX rule hour"},
        {"StandardMonth", kCimUint32, "POSIX rule Mm.w.d"},
        {"StandardDay", kCimUint32, "POSIX rule week"},
        {"StandardDayOfWeek", kCimUint8, "POSIX rule day"},
        {"StandardHour", kCimUint32, "POSIX rule hour"}},
       fillTimeZone},
      {"Win32_Bios",
       {{"Name", kCimString, "DMI bios_version"},
        {"Caption", kCimString, "bios_version"},
        {"Description", kCimString, "bios_version"},
        {"SMBIOSBIOSVersion", kCimString, "bios_version"},
        {"Version", kCimString, "bios_version"},
        {"BIOSVersion", kCimString, "bios_version", true},
        {"Manufacturer", kCimString, "DMI bios_vendor"},
        {"ReleaseDate", kCimDateTime, "DMI bios_date"},
        {"SerialNumber", kCimString, "DMI product_serial (root only)"},
        {"SMBIOSPresent", kCimBoolean, "true"},
        {"PrimaryBIOS", kCimBoolean, "true"},
        {"Status", kCimString, "\"OK\""}},
       fillBios},
      {"Win32_BaseBoard",
       {{"Name", kCimString, "\"Base Board\""},
        {"Caption", kCimString, "\"Base Board\""},
        {"Tag", kCimString, "\"Base Board\""},
        {"Manufacturer", kCimString, "DMI board_vendor"},
        {"Product", kCimString, "DMI board_name"},
        {"SerialNumber", kCimString, "DMI board_serial (root only)"},
        {"Version", kCimString, "DMI board_version"},
        {"HostingBoard", kCimBoolean, "true"},
        {"Status", kCimString, "\"OK\""}},
       fillBaseBoard},
      {"Win32_CDROMDrive",
       {{"DeviceID", kCimString, "/dev/sr<n>"},
        {"Drive", kCimString, "/dev/sr<n>"},
        {"Name", kCimString, "/sys/block/sr<n>/device vendor and model"},
        {"Caption", kCimString, "as Name"},
        {"Manufacturer", kCimString, "device/vendor"},
        {"MediaType", kCimString, "\"CD-ROM\""},
        {"Status", kCimString, "\"OK\""}},
       fillCDROMDrive},
      {"Win32_VideoController",
       {{"DeviceID", kCimString, "VideoController<n>"},
        {"Name", kCimString, "driver of /sys/class/drm/card<n>/device"},
        {"Caption", kCimString, "driver"},
        {"Description", kCimString, "driver"},
        {"InstalledDisplayDrivers", kCimString, "driver"},
        {"PNPDeviceID", kCimString, "PCI vendor and device ids"},
        {"CurrentHorizontalResolution", kCimUint32, "first mode of the first connected output"},
        {"CurrentVerticalResolution", kCimUint32, "first mode of the first connected output"},
        {"Status", kCimString, "\"OK\""}},
       fillVideoController},
      {"Win32_DiskDrive",
       {{"DeviceID", kCimString, "/dev/<disk> of /sys/block with a device"},
        {"Name", kCimString, "/dev/<disk>"},
        {"Index", kCimUint32, "order in /sys/block"},
        {"Caption", kCimString, "device/model"},
        {"Model", kCimString, "device/model"},
        {"Manufacturer", kCimString, "device/vendor; a PCI id (virtio) named by pci.ids"},
        {"SerialNumber", kCimString, "device/serial, else serial (virtio)"},
        {"FirmwareRevision", kCimString, "device/firmware_rev or device/rev"},
        {"InterfaceType", kCimString, "USB, IDE or SCSI from the device path"},
        {"MediaType", kCimString, "removable"},
        {"BytesPerSector", kCimUint32, "queue/logical_block_size"},
        {"Size", kCimUint64, "size * 512"},
        {"Partitions", kCimUint32, "partition folders"},
        {"Status", kCimString, "\"OK\""}},
       fillDiskDrive},
      {"Win32_LogicalDisk",
       {{"DeviceID", kCimString, "mount point of /proc/mounts (block devices and network shares)"},
        {"Name", kCimString, "mount point"},
        {"Caption", kCimString, "mount point"},
        {"Description", kCimString, "drive type"},
        {"DriveType", kCimUint32, "2 removable, 3 local, 4 network"},
        {"MediaType", kCimUint32, "11 removable, 12 fixed"},
        {"FileSystem", kCimString, "mount type"},
        {"ProviderName", kCimString, "network source"},
        {"VolumeName", kCimString, "/dev/disk/by-label"},
        {"VolumeSerialNumber", kCimString, "statvfs f_fsid, low 32 bits"},
        {"Size", kCimUint64, "statvfs"},
        {"FreeSpace", kCimUint64, "statvfs, space for unprivileged users"}},
       fillLogicalDisk},
      {"Win32_LogicalDiskToPartition",
       {{"Antecedent", kCimReference, "mounted partition"}, {"Dependent", kCimReference, "its mount point"}},
       fillLogicalDiskToPartition},
      {"Win32_Volume",
       {{"DeviceID", kCimString, "block device of /proc/mounts"},
        {"Name", kCimString, "mount point"},
        {"Caption", kCimString, "mount point"},
        {"FileSystem", kCimString, "mount type"},
        {"Label", kCimString, "/dev/disk/by-label"},
        {"DriveType", kCimUint32, "2 removable, 3 local"},
        {"Capacity", kCimUint64, "statvfs"},
        {"FreeSpace", kCimUint64, "statvfs"},
        {"BlockSize", kCimUint64, "statvfs f_bsize"},
        {"SerialNumber", kCimUint32, "statvfs f_fsid, low 32 bits"}},
       fillVolume},
      {"Win32_Environment",
       {{"Name", kCimString, "/etc/environment"},
        {"VariableValue", kCimString, "/etc/environment"},
        {"UserName", kCimString, "\"<SYSTEM>\""},
        {"SystemVariable", kCimBoolean, "true"},
        {"Caption", kCimString, "<SYSTEM>\\name"},
        {"Description", kCimString, "<SYSTEM>\\name"},
        {"Status", kCimString, "\"OK\""}},
       fillEnvironment},
      {"Win32_UserAccount",
       {{"Name", kCimString, "/etc/passwd"},
        {"Caption", kCimString, "HOST\\name"},
        {"Domain", kCimString, "host name in capitals"},
        {"FullName", kCimString, "first GECOS field"},
        {"Description", kCimString, "GECOS"},
        {"SID", kCimString, "user id"},
        {"SIDType", kCimUint8, "1 (user)"},
        {"AccountType", kCimUint32, "512 (normal account)"},
        {"LocalAccount", kCimBoolean, "true"},
        {"Lockout", kCimBoolean, "false"},
        {"Disabled", kCimBoolean,
         "nologin/false shell, locked (\"!\" or \"*\", as passwd -S) or expired in /etc/shadow"},
        {"PasswordRequired", kCimBoolean, "/etc/shadow password set"},
        {"PasswordExpires", kCimBoolean, "/etc/shadow maximum age below 99999"},
        {"PasswordChangeable", kCimBoolean, "/etc/shadow minimum age not above the maximum"},
        {"Status", kCimString, "\"OK\""}},
       fillUserAccount},
      {"Win32_Group",
       {{"Name", kCimString, "/etc/group"},
        {"Caption", kCimString, "HOST\\name"},
        {"Domain", kCimString, "host name in capitals"},
        {"SID", kCimString, "group id"},
        {"SIDType", kCimUint8, "4 (alias)"},
        {"LocalAccount", kCimBoolean, "true"},
        {"Status", kCimString, "\"OK\""}},
       fillGroup},
      {"Win32_CodecFile", {{"Name", kCimString, "none: Linux keeps no codec registry"}}, fillCodecFile},
      {"Win32_IP4RouteTable",
       {{"Destination", kCimString, "/proc/net/route"},
        {"Mask", kCimString, "/proc/net/route"},
        {"NextHop", kCimString, "/proc/net/route gateway"},
        {"Name", kCimString, "destination"},
        {"Caption", kCimString, "destination"},
        {"Description", kCimString, "destination - mask - next hop"},
        {"InterfaceIndex", kCimSint32, "ifindex of the route's interface"},
        {"Metric1", kCimSint32, "/proc/net/route metric"},
        {"Type", kCimUint32, "3 direct, 4 through a gateway"},
        {"Information", kCimString, "\"0.0.0.0\""}},
       fillIP4RouteTable},
      {"Win32_NTEventLogFile",
       {{"Name", kCimString, "files directly in /var/log"},
        {"Caption", kCimString, "path"},
        {"LogfileName", kCimString, "file name"},
        {"FileName", kCimString, "file name up to the first dot"},
        {"Extension", kCimString, "the rest"},
        {"FileSize", kCimUint64, "stat"},
        {"LastModified", kCimDateTime, "stat mtime"},
        {"Compressed", kCimBoolean, ".gz, .xz, .zst"},
        {"Readable", kCimBoolean, "access(R_OK)"},
        {"Status", kCimString, "\"OK\""}},
       fillNTEventLogFile},
      {"Win32_OperatingSystem",
       {{"Caption", kCimString, "os-release PRETTY_NAME"},
        {"Name", kCimString, "PRETTY_NAME|/|root device"},
        {"Version", kCimString, "/etc/debian_version when it refines os-release VERSION_ID"},
        {"BuildNumber", kCimString, "/proc/sys/kernel/osrelease"},
        {"Manufacturer", kCimString, "os-release NAME"},
        {"OSType", kCimUint16, "36 (LINUX)"},
        {"OSArchitecture", kCimString, "ELF class of /bin/sh"},
        {"CSName", kCimString, "host name"},
        {"Description", kCimString, "/etc/machine-info PRETTY_HOSTNAME"},
        {"BootDevice", kCimString, "root= of /proc/cmdline, else the device of / in /proc/mounts"},
        {"SystemDevice", kCimString, "as BootDevice"},
        {"LastBootUpTime", kCimDateTime, "/proc/stat btime"},
        {"LocalDateTime", kCimDateTime, "now"},
        {"CurrentTimeZone", kCimSint16, "UTC offset in minutes"},
        {"NumberOfProcesses", kCimUint32, "process folders of /proc"},
        {"TotalVisibleMemorySize", kCimUint64, "/proc/meminfo MemTotal, kB"},
        {"FreePhysicalMemory", kCimUint64, "MemAvailable, kB"},
        {"TotalSwapSpaceSize", kCimUint64, "SwapTotal, kB"},
        {"TotalVirtualMemorySize", kCimUint64, "MemTotal + SwapTotal, kB"},
        {"FreeVirtualMemory", kCimUint64, "MemAvailable + SwapFree, kB"},
        {"Primary", kCimBoolean, "true"},
        {"Status", kCimString, "\"OK\""},
        {"InstallDate", kCimDateTime, "null: Linux keeps no installation date"}},
       fillOperatingSystem},
      {"Win32_Process",
       {{"ProcessId", kCimUint32, "/proc/<pid>"},
        {"Handle", kCimString, "pid"},
        {"ParentProcessId", kCimUint32, "/proc/<pid>/stat"},
        {"Name", kCimString, "/proc/<pid>/status Name"},
        {"Caption", kCimString, "Name"},
        {"Description", kCimString, "Name"},
        {"ExecutablePath", kCimString, "/proc/<pid>/exe"},
        {"CommandLine", kCimString, "/proc/<pid>/cmdline"},
        {"ThreadCount", kCimUint32, "stat num_threads"},
        {"Priority", kCimUint32, "stat priority"},
        {"WorkingSetSize", kCimUint64, "status VmRSS, bytes"},
        {"VirtualSize", kCimUint64, "status VmSize, bytes"},
        {"PeakWorkingSetSize", kCimUint32, "status VmHWM, kB"},
        {"PageFileUsage", kCimUint32, "status VmSwap, kB"},
        {"KernelModeTime", kCimUint64, "stat stime, 100 ns"},
        {"UserModeTime", kCimUint64, "stat utime, 100 ns"},
        {"CreationDate", kCimDateTime, "btime + stat starttime"},
        {"CSName", kCimString, "host name"}},
       fillProcess},
      {"Win32_ComputerSystemProduct",
       {{"Name", kCimString, "DMI product_name"},
        {"Vendor", kCimString, "DMI sys_vendor"},
        {"Version", kCimString, "DMI product_version"},
        {"IdentifyingNumber", kCimString, "DMI product_serial (root only)"},
        {"UUID", kCimString, "DMI product_uuid, upper-case (root only)"},
        {"SKUNumber", kCimString, "DMI product_sku"},
        {"Caption", kCimString, "\"Computer System Product\""},
        {"Description", kCimString, "\"Computer System Product\""}},
       fillComputerSystemProduct},
      {"Win32_Processor",
       {{"DeviceID", kCimString, "CPU<n>, one per physical id of /proc/cpuinfo"},
        {"Name", kCimString, "model name"},
        {"Manufacturer", kCimString, "vendor_id (CPU implementer on ARM)"},
        {"Caption", kCimString,
         "Intel64 (GenuineIntel), AMD64 (other 64-bit) or x86; Family, Model, Stepping"},
        {"Description", kCimString, "as Caption"},
        {"Stepping", kCimString, "stepping"},
        {"Level", kCimUint16, "cpu family"},
        {"Revision", kCimUint16, "model << 8 | stepping"},
        {"NumberOfLogicalProcessors", kCimUint32, "processor entries of the package"},
        {"NumberOfCores", kCimUint32, "cpu cores"},
        {"CurrentClockSpeed", kCimUint32, "cpu MHz"},
        {"MaxClockSpeed", kCimUint32, "cpufreq cpuinfo_max_freq / 1000, else cpu MHz"},
        {"AddressWidth", kCimUint16, "ELF class of /bin/sh"},
        {"DataWidth", kCimUint16, "lm flag"},
        {"Architecture", kCimUint16, "0 x86, 5 ARM, 9 x64, 12 ARM64"},
        {"ProcessorType", kCimUint16, "3 (central processor)"},
        {"L2CacheSize", kCimUint32, "/sys/devices/system/cpu/cpu<n>/cache of the package, kB"},
        {"L3CacheSize", kCimUint32, "/sys/devices/system/cpu/cpu<n>/cache of the package, kB"},
        {"Status", kCimString, "\"OK\""}},
       fillProcessor},
      {"Win32_PhysicalMemory",
       {{"Tag", kCimString, "Physical Memory <n>"},
        {"Name", kCimString, "\"Physical Memory\""},
        {"Caption", kCimString, "\"Physical Memory\""},
        {"Capacity", kCimUint64, "SMBIOS type 17 size (root only)"},
        {"DeviceLocator", kCimString, "SMBIOS type 17"},
        {"BankLabel", kCimString, "SMBIOS type 17"},
        {"Manufacturer", kCimString, "SMBIOS type 17"},
        {"SerialNumber", kCimString, "SMBIOS type 17"},
        {"PartNumber", kCimString, "SMBIOS type 17"},
        {"Speed", kCimUint32, "SMBIOS type 17"},
        {"ConfiguredClockSpeed", kCimUint32, "SMBIOS type 17"},
        {"FormFactor", kCimUint16, "SMBIOS type 17"},
        {"SMBIOSMemoryType", kCimUint32, "SMBIOS type 17"},
        {"TypeDetail", kCimUint16, "SMBIOS type 17"},
        {"DataWidth", kCimUint16, "SMBIOS type 17"},
        {"TotalWidth", kCimUint16, "SMBIOS type 17"}},
       fillPhysicalMemory},
      {"Win32_Service",
       {{"Name", kCimString, "systemd .service unit files, enabled template instances, loaded services"},
        {"DisplayName", kCimString, "Description=, else the name"},
        {"Caption", kCimString, "as DisplayName"},
        {"Description", kCimString, "Description="},
        {"PathName", kCimString, "first ExecStart="},
        {"StartMode", kCimString, "Auto (wanted by a unit in any unit folder), Manual, Disabled (masked)"},
        {"StartName", kCimString, "User=, else root"},
        {"ServiceType", kCimString, "\"Own Process\""},
        {"SystemName", kCimString, "host name"},
        {"State", kCimString, "systemctl list-units ACTIVE: Running, Start Pending, Stop Pending, Stopped"},
        {"Started", kCimBoolean, "State is Running"}},
       fillService},
      {"Win32_SCSIController",
       {{"DeviceID", kCimString, "/sys/class/scsi_host/host<n>"},
        {"Name", kCimString, "proc_name"},
        {"Caption", kCimString, "proc_name"},
        {"Description", kCimString, "proc_name"},
        {"DriverName", kCimString, "proc_name"},
        {"Status", kCimString, "\"OK\""}},
       fillSCSIController},
      {"Win32_SoundDevice",
       {{"DeviceID", kCimString, "card<n> of /proc/asound/cards"},
        {"Name", kCimString, "card name"},
        {"ProductName", kCimString, "card name"},
        {"Caption", kCimString, "card name"},
        {"Description", kCimString, "card driver"},
        {"StatusInfo", kCimUint16, "3 (enabled)"},
        {"Status", kCimString, "\"OK\""}},
       fillSoundDevice},
      {"Win32_Share",
       {{"Name", kCimString, "/etc/samba/smb.conf section"},
        {"Path", kCimString, "path"},
        {"Description", kCimString, "comment"},
        {"Caption", kCimString, "comment, else the name"},
        {"Type", kCimUint32, "0 disk, 1 print queue"},
        {"AllowMaximum", kCimBoolean, "no max connections"},
        {"MaximumAllowed", kCimUint32, "max connections"},
        {"Status", kCimString, "\"OK\""}},
       fillShare},
      {"Win32_Printer",
       {{"Name", kCimString, "/etc/cups/printers.conf"},
        {"DeviceID", kCimString, "queue name"},
        {"Caption", kCimString, "queue name"},
        {"Comment", kCimString, "Info"},
        {"Location", kCimString, "Location"},
        {"DriverName", kCimString, "MakeModel"},
        {"PortName", kCimString, "DeviceURI without user and password"},
        {"Default", kCimBoolean, "DefaultPrinter"},
        {"Shared", kCimBoolean, "Shared"},
        {"Network", kCimBoolean, "not usb, parallel or serial"},
        {"PrinterStatus", kCimUint16, "State: 3 idle, 4 printing, 7 stopped"},
        {"Status", kCimString, "\"OK\""}},
       fillPrinter},
      {"Win32_ComputerSystem",
       {{"Name", kCimString, "host name in capitals"},
        {"Caption", kCimString, "host name in capitals"},
        {"DNSHostName", kCimString, "host name"},
        {"Manufacturer", kCimString, "DMI sys_vendor"},
        {"Model", kCimString, "DMI product_name"},
        {"SystemFamily", kCimString, "DMI product_family"},
        {"SystemType", kCimString, "ELF machine of /bin/sh"},
        {"TotalPhysicalMemory", kCimUint64, "/proc/meminfo MemTotal, bytes"},
        {"NumberOfProcessors", kCimUint32, "physical ids of /proc/cpuinfo"},
        {"NumberOfLogicalProcessors", kCimUint32, "processor entries of /proc/cpuinfo"},
        {"Domain", kCimString, "directory realm, else DNS domain, else workgroup"},
        {"Workgroup", kCimString, "smb.conf workgroup, else WORKGROUP; null in a domain"},
        {"PartOfDomain", kCimBoolean, "smb.conf security ads/domain, or an sssd.conf domain"},
        {"HypervisorPresent", kCimBoolean, "a virtual machine, or the CPU's hypervisor flag"},
        {"VirtualizationType", kCimString, "container, else virtual machine, else \"none\""},
        {"VirtualMachineType", kCimString, "DMI, CPUID, device tree, /sys/hypervisor"},
        {"ContainerType", kCimString, "container markers"},
        {"Status", kCimString, "\"OK\""}},
       fillDevices<devices::computerSystem>},
      {"Win32_PnPEntity",
       {{"DeviceID", kCimString, "PCI\\VEN_v&DEV_d&SUBSYS_sd&REV_r\\slot, USB\\VID_v&PID_p\\serial"},
        {"PNPDeviceID", kCimString, "as DeviceID"},
        {"Name", kCimString, "pci.ids / usb.ids device name, else the ids"},
        {"Caption", kCimString, "as Name"},
        {"Description", kCimString, "as Name"},
        {"Manufacturer", kCimString, "pci.ids / usb.ids vendor name, else the vendor id"},
        {"PNPClass", kCimString, "PCI class or USB class"},
        {"Service", kCimString, "bound driver"},
        {"Present", kCimBoolean, "true"},
        {"Status", kCimString, "OK with a driver, else Unknown"}},
       fillDevices<devices::pnpEntities>},
      {"Win32_DesktopMonitor",
       {{"DeviceID", kCimString, "DesktopMonitor<n>"},
        {"Name", kCimString, "EDID display name"},
        {"Caption", kCimString, "as Name"},
        {"Description", kCimString, "as Name"},
        {"MonitorType", kCimString, "as Name"},
        {"MonitorManufacturer", kCimString, "EDID manufacturer id, named"},
        {"PNPDeviceID", kCimString, "DISPLAY\\<id><product>\\<connector>"},
        {"SerialNumberID", kCimString, "EDID serial"},
        {"YearOfManufacture", kCimUint16, "EDID"},
        {"WeekOfManufacture", kCimUint8, "EDID"},
        {"ScreenWidth", kCimUint32, "first mode of the connector, else the EDID's preferred timing"},
        {"ScreenHeight", kCimUint32, "as ScreenWidth"},
        {"Status", kCimString, "\"OK\""}},
       fillDevices<devices::desktopMonitors>},
      {"Win32_NetworkAdapter",
       {{"DeviceID", kCimString, "ifindex"},
        {"Index", kCimUint32, "ifindex"},
        {"InterfaceIndex", kCimUint32, "ifindex"},
        {"Name", kCimString, "pci.ids device name, else the interface name"},
        {"Caption", kCimString, "[ifindex] Name"},
        {"Description", kCimString, "as Name"},
        {"ProductName", kCimString, "pci.ids device name"},
        {"Manufacturer", kCimString, "pci.ids vendor name"},
        {"NetConnectionID", kCimString, "interface name"},
        {"MACAddress", kCimString, "address, upper-case"},
        {"AdapterType", kCimString, "type and wireless"},
        {"AdapterTypeId", kCimUint16, "type and wireless"},
        {"PhysicalAdapter", kCimBoolean, "a device behind it, not virtual"},
        {"NetEnabled", kCimBoolean, "flags IFF_UP"},
        {"NetConnectionStatus", kCimUint16, "operstate and carrier"},
        {"Speed", kCimUint64, "speed, bits per second"},
        {"ServiceName", kCimString, "driver of device"},
        {"PNPDeviceID", kCimString, "the PCI function behind it"}},
       fillDevices<devices::networkAdapters>},
      {"Win32_DiskPartition",
       {{"DeviceID", kCimString, "/dev/<partition>"},
        {"Name", kCimString, "Disk #d, Partition #p"},
        {"Caption", kCimString, "as Name"},
        {"Description", kCimString, "as Type"},
        {"DiskIndex", kCimUint32, "the disk's Win32_DiskDrive Index"},
        {"Index", kCimUint32, "partition number - 1"},
        {"Type", kCimString, "udev ID_PART_ENTRY_TYPE"},
        {"Bootable", kCimBoolean, "MBR active flag, or the EFI system partition"},
        {"BootPartition", kCimBoolean, "as Bootable"},
        {"PrimaryPartition", kCimBoolean, "GPT, or MBR number 1-4"},
        {"Size", kCimUint64, "size * 512"},
        {"StartingOffset", kCimUint64, "start * 512"},
        {"BlockSize", kCimUint64, "the disk's logical block size"},
        {"NumberOfBlocks", kCimUint64, "Size / BlockSize"},
        {"Status", kCimString, "\"OK\""}},
       fillDevices<devices::diskPartitions>},
  };
  return table;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string rootOf(const LinuxProviderOptions& options) {
  const std::string root = options.root.empty() ? auditMachineRoot() : options.root;
  return root == "/" ? std::string() : root;
}

// The running system's addresses belong to the running system's root only.
std::function<std::vector<InterfaceAddress>()> addressesOf(const LinuxProviderOptions& options) {
  if (options.addresses) return options.addresses;
  if (rootOf(options).empty()) return systemAddresses;
  return nullptr;
}

// systemd is asked only about the running system, and only where it runs.
std::function<std::optional<std::string>()> serviceUnitsOf(const LinuxProviderOptions& options) {
  if (options.serviceUnits) return options.serviceUnits;
  if (!rootOf(options).empty()) return nullptr;
  return []() -> std::optional<std::string> {
    struct stat st;
    if (::stat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return systemctlServiceUnits();
  };
}

class LinuxInstanceProvider : public InstanceProvider {
 public:
  explicit LinuxInstanceProvider(LinuxProviderOptions options)
      : machine_(rootOf(options), addressesOf(options), serviceUnitsOf(options)), notice_(options.notice) {
    machine_.setExtendedInventory(options.extendedInventory);
  }

  std::vector<WmiObject> instancesOf(const std::string& className) override {
    for (const ClassDef& def : classes()) {
      if (!sameName(def.name, className)) continue;
      Instances instances(def);
      def.fill(machine_, instances);
      if (instances.hit() && notice_)
        notice_(std::string(def.name) + ": more than " + std::to_string(def.maxInstances) +
                " instances; the first " + std::to_string(def.maxInstances) + " are listed");
      return instances.take();
    }
    throw EWMIError("Invalid class \"" + className + "\"");
  }

 private:
  Machine machine_;
  std::function<void(const std::string&)> notice_;
};

}  // namespace

std::unique_ptr<InstanceProvider> createInstanceProvider(LinuxProviderOptions options) {
  return std::make_unique<LinuxInstanceProvider>(std::move(options));
}

std::vector<devsrc::Package> devices::installedOtherSoftware(const LinuxProviderOptions& options) {
  const Machine machine(rootOf(options), nullptr, nullptr);
  return devices::otherSoftware(MachineFilesOf(machine));
}

std::string auditMachineRoot() {
  const char* value = std::getenv("KN_AUDIT_ROOT");
  std::string root = value ? value : "";
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

std::vector<std::string> knownInstanceClasses() {
  std::vector<std::string> names;
  for (const ClassDef& def : classes()) names.push_back(def.name);
  return names;
}

}  // namespace kn
