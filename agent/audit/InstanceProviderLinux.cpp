// The Linux instance provider: the reader of the machine below its root, the fill function of every
// class of the table, and the provider itself (InstanceProviderLinux.h).
#include "InstanceProviderLinux.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "InstanceProviderDevices.h"
#include "KNFd.h"
#include "KNOs.h"
#include "LinuxSources.h"

namespace kn {
namespace linuxfill {
namespace {

using namespace linuxsrc;

bool isPciId(std::string_view text) {
  return text.size() == 6 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
         std::all_of(text.begin() + 2, text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// A regular file open for reading; nothing for anything else (a FIFO, a device) or a file that
// cannot be opened.
std::unique_ptr<InputFile> openRegular(const std::string& path) {
  try {
    return os().openFile(path);
  } catch (const EOSError&) {
    return nullptr;
  }
}

}  // namespace

Machine::Machine(std::string root, std::function<std::vector<InterfaceAddress>()> addresses,
                 std::function<std::optional<std::string>()> serviceUnits, bool extendedInventory)
    : root_(std::move(root)),
      addresses_(std::move(addresses)),
      serviceUnits_(std::move(serviceUnits)),
      extendedInventory_(extendedInventory) {}

std::optional<std::string> Machine::read(const std::string& absolute) const {
  try {
    return os().readFile(path(absolute), kMaxFile);
  } catch (const EOSError&) {
    return std::nullopt;
  }
}

std::optional<std::string> Machine::head(const std::string& absolute, size_t limit) const {
  const auto file = openRegular(path(absolute));
  if (!file) return std::nullopt;
  std::optional<std::string> text(std::in_place);
  // Room for the whole file at once: a text grown block by block would pass through twice its
  // size (every step a fresh allocation), and fresh pages are what reading costs most. Files of
  // /proc and /sys say 0 and grow as they are read.
  text->reserve(static_cast<size_t>(std::min<std::uint64_t>(file->size(), limit)));
  char buffer[65536];
  try {
    while (text->size() < limit) {
      const size_t n = file->read(buffer, std::min(sizeof buffer, limit - text->size()));
      if (n == 0) break;
      text->append(buffer, n);
    }
  } catch (const EOSError&) {
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> Machine::line(const std::string& absolute) const {
  std::optional<std::string> text;
  try {
    text = os().readFile(path(absolute), kMaxLine);
  } catch (const EOSError&) {
    return std::nullopt;
  }
  std::string first = trim(std::string_view(*text).substr(0, text->find('\n')));
  if (first.empty()) return std::nullopt;
  return first;
}

std::optional<std::int64_t> Machine::integer(const std::string& absolute) const {
  const auto text = line(absolute);
  if (!text) return std::nullopt;
  char* end = nullptr;
  const long long v = std::strtoll(text->c_str(), &end, 0);
  if (end == text->c_str() || *end != '\0') return std::nullopt;
  return v;
}

std::vector<std::string> Machine::list(const std::string& absolute) const {
  std::vector<std::string> names;
  try {
    for (FolderEntry& e : os().listFolder(path(absolute))) names.push_back(std::move(e.name));
  } catch (const EOSError&) {
    names.clear();
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool Machine::exists(const std::string& absolute) const {
  struct stat st;
  return ::lstat(path(absolute).c_str(), &st) == 0;
}

std::optional<struct stat> Machine::status(const std::string& absolute) const {
  struct stat st;
  if (::stat(path(absolute).c_str(), &st) != 0) return std::nullopt;
  return st;
}

std::optional<std::string> Machine::link(const std::string& absolute) const {
  char target[4096];
  const ssize_t n = ::readlink(path(absolute).c_str(), target, sizeof target);
  if (n <= 0 || n == sizeof target) return std::nullopt;
  return std::string(target, n);
}

std::optional<struct statvfs> Machine::fsStatus(const std::string& absolute) const {
  struct statvfs st;
  if (::statvfs(path(absolute).c_str(), &st) != 0) return std::nullopt;
  return st;
}

std::string Machine::hostName() const {
  if (!hostName_) {
    auto name = line("/proc/sys/kernel/hostname");
    if (!name) name = line("/etc/hostname");
    hostName_ = name ? name->substr(0, name->find('.')) : std::string();
  }
  return *hostName_;
}

std::string Machine::upperHostName() const { return upper(hostName()); }

std::vector<InterfaceAddress> Machine::addresses() const {
  return addresses_ ? addresses_() : std::vector<InterfaceAddress>();
}

std::optional<std::string> Machine::serviceUnits() const {
  return serviceUnits_ ? serviceUnits_() : std::nullopt;
}

std::optional<std::string> Machine::vendorName(const std::string& vendor) const {
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

std::optional<std::map<std::pair<unsigned, unsigned>, devsrc::IdNames>> Machine::idNames(
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

std::optional<std::int64_t> Machine::osBits() const {
  const auto elf = head("/bin/sh", 5);
  if (!elf || elf->size() < 5 || elf->compare(0, 4, "\177ELF") != 0) return std::nullopt;
  return (*elf)[4] == 2 ? 64 : 32;
}

// The index of an ids file below the root, made in one pass on first use and kept for the
// provider's life; nullptr when the file cannot be read or holds more than kMaxFile bytes.
const devsrc::IdsIndex* Machine::idsIndex(const std::string& absolute) const {
  auto [it, added] = idsIndexes_.try_emplace(absolute);
  if (!added) return it->second ? &*it->second : nullptr;
  const auto file = openRegular(path(absolute));
  if (!file) return nullptr;
  devsrc::IdsIndex index;
  std::uint64_t total = 0;
  char buffer[65536];
  try {
    while (const size_t n = file->read(buffer, sizeof buffer)) {
      total += n;
      if (total > kMaxFile) return nullptr;
      index.feed(std::string_view(buffer, n));
    }
  } catch (const EOSError&) {
    return nullptr;
  }
  index.finish();
  it->second = std::move(index);
  return &*it->second;
}

// The bytes [offset, end) of a regular file below the root; nullopt when it cannot be read.
std::optional<std::string> Machine::range(const std::string& absolute, std::uint64_t offset,
                                          std::uint64_t end) const {
  if (end < offset || end - offset > kMaxFile) return std::nullopt;
  const auto file = openRegular(path(absolute));
  if (!file) return std::nullopt;
  std::string text(end - offset, '\0');
  size_t done = 0;
  try {
    while (done < text.size()) {
      const size_t n = file->readAt(offset + done, text.data() + done, text.size() - done);
      if (n == 0) break;
      done += n;
    }
  } catch (const EOSError&) {
  }
  text.resize(done);  // a file that shrank since it was indexed gives what is left
  return text;
}

std::string localWmiDateTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return wmiDateTime(local, local.tm_gmtoff);
}

namespace {

// The fill function of each class of the table. The switch names every ClassFill, so a class
// added to the table without one here does not build (-Wswitch).
Filler fillerOf(ClassFill fill) {
  switch (fill) {
    case ClassFill::Product:
      return fillProduct;
    case ClassFill::NetworkAdapterConfiguration:
      return fillNetworkAdapterConfiguration;
    case ClassFill::Battery:
      return fillBattery;
    case ClassFill::SystemEnclosure:
      return fillSystemEnclosure;
    case ClassFill::PerfOSSystem:
      return fillPerfOSSystem;
    case ClassFill::TimeZone:
      return fillTimeZone;
    case ClassFill::Bios:
      return fillBios;
    case ClassFill::BaseBoard:
      return fillBaseBoard;
    case ClassFill::CDROMDrive:
      return fillCDROMDrive;
    case ClassFill::VideoController:
      return fillVideoController;
    case ClassFill::DiskDrive:
      return fillDiskDrive;
    case ClassFill::LogicalDisk:
      return fillLogicalDisk;
    case ClassFill::LogicalDiskToPartition:
      return fillLogicalDiskToPartition;
    case ClassFill::Volume:
      return fillVolume;
    case ClassFill::Environment:
      return fillEnvironment;
    case ClassFill::UserAccount:
      return fillUserAccount;
    case ClassFill::Group:
      return fillGroup;
    case ClassFill::CodecFile:
      return fillCodecFile;
    case ClassFill::IP4RouteTable:
      return fillIP4RouteTable;
    case ClassFill::NTEventLogFile:
      return fillNTEventLogFile;
    case ClassFill::OperatingSystem:
      return fillOperatingSystem;
    case ClassFill::Process:
      return fillProcess;
    case ClassFill::ComputerSystemProduct:
      return fillComputerSystemProduct;
    case ClassFill::Processor:
      return fillProcessor;
    case ClassFill::PhysicalMemory:
      return fillPhysicalMemory;
    case ClassFill::Service:
      return fillService;
    case ClassFill::SCSIController:
      return fillSCSIController;
    case ClassFill::SoundDevice:
      return fillSoundDevice;
    case ClassFill::Share:
      return fillShare;
    case ClassFill::Printer:
      return fillPrinter;
    case ClassFill::ComputerSystem:
      return fillComputerSystem;
    case ClassFill::PnPEntity:
      return fillPnPEntity;
    case ClassFill::DesktopMonitor:
      return fillDesktopMonitor;
    case ClassFill::NetworkAdapter:
      return fillNetworkAdapter;
    case ClassFill::DiskPartition:
      return fillDiskPartition;
  }
  throw std::logic_error("a class without a fill function");
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
  explicit LinuxInstanceProvider(const LinuxProviderOptions& options)
      : machine_(rootOf(options), addressesOf(options), serviceUnitsOf(options), options.extendedInventory),
        notice_(options.notice) {}

  std::vector<WmiObject> instancesOf(const std::string& className) override {
    const ClassDef* def = findInstanceClass(className);
    if (!def) throw EWMIError("Invalid class \"" + className + "\"");
    Instances instances(*def);
    fillerOf(def->fill)(machine_, instances);
    if (instances.hit() && notice_)
      notice_(std::string(def->name) + ": more than " + std::to_string(def->maxInstances) +
              " instances; the first " + std::to_string(def->maxInstances) + " are listed");
    return instances.take();
  }

 private:
  Machine machine_;
  std::function<void(const std::string&)> notice_;
};

}  // namespace
}  // namespace linuxfill

std::unique_ptr<InstanceProvider> createLinuxInstanceProvider(LinuxProviderOptions options) {
  return std::make_unique<linuxfill::LinuxInstanceProvider>(options);
}

std::unique_ptr<InstanceProvider> createInstanceProvider(InstanceProviderOptions options) {
  LinuxProviderOptions linuxOptions;
  linuxOptions.extendedInventory = options.extendedInventory;
  linuxOptions.notice = std::move(options.notice);
  return createLinuxInstanceProvider(std::move(linuxOptions));
}

std::vector<devsrc::Package> devices::installedOtherSoftware(const LinuxProviderOptions& options) {
  const linuxfill::Machine machine(linuxfill::rootOf(options), nullptr, nullptr, true);
  return linuxfill::otherSoftware(machine);
}

std::vector<devsrc::Package> devices::installedOtherSoftware() { return installedOtherSoftware({}); }

}  // namespace kn
