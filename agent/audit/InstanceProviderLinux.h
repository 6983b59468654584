// The Linux instance provider: what it is told, its one reader of the machine, and its fill
// functions, one per class of the table (InstanceClasses.h), grouped by where Linux keeps the facts:
//
//   ProcFillsLinux.cpp      /proc: operating system, processes, processors, performance counters
//   HardwareFillsLinux.cpp  /sys and DMI: firmware, boards, batteries, drives, video, sound, memory
//   EtcFillsLinux.cpp       /etc: accounts, groups, environment, time zone, shares, printers
//   StorageFillsLinux.cpp   disks, mounts, logical disks, volumes
//   NetworkFillsLinux.cpp   interfaces, addresses, routes, the resolver
//   SoftwareFillsLinux.cpp  packages (dpkg, rpm, snap, flatpak), services, log files
//   DeviceFillsLinux.cpp    the extended inventory's hardware: PCI and USB devices, monitors,
//                           network adapters, disk partitions, the computer system
//
// Every path is read below the provider's root (KN_AUDIT_ROOT), so tests run it on a fixture tree.
// A file that is missing or unreadable leaves its properties null; a class whose source is missing
// altogether has no instances. Parsing lives in LinuxSources.cpp and DeviceSources.cpp, apart from
// the reading.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DeviceSources.h"
#include "InstanceProvider.h"
#include "InstanceRows.h"

namespace kn {

// The addresses of a network interface.
struct InterfaceAddress {
  std::string interface;  // "eth0"
  std::string address;    // "192.0.2.10", "fe80::1"
  std::string netmask;    // "255.255.255.0", "ffff:ffff:ffff:ffff::"
  bool ipv6 = false;
};

// What the Linux provider reads. Tests point `root` at a fixture tree and give the addresses.
struct LinuxProviderOptions {
  // Prefix of every file read; empty means auditMachineRoot().
  std::string root;
  // The addresses of the network interfaces; empty means getifaddrs for the running system, and
  // none at all when `root` (or KN_AUDIT_ROOT) names another tree than "/".
  std::function<std::vector<InterfaceAddress>()> addresses;
  // The text of `systemctl list-units --type=service --all --plain --full --no-legend`, or nothing;
  // empty means asking KN_SYSTEMCTL (default systemctl) where systemd runs the running system, and
  // nothing for another tree.
  std::function<std::optional<std::string>()> serviceUnits{};
  // False leaves out the classes after the first 30 of the class list and the software outside
  // dpkg (the "ExtendedInventory" policy).
  bool extendedInventory = true;
  // Told one line for the agent's log when a class had more instances than it lists (its bound);
  // called on the thread that asked for the class.
  std::function<void(const std::string& line)> notice{};
};

std::unique_ptr<InstanceProvider> createLinuxInstanceProvider(LinuxProviderOptions options);

namespace devices {
// Installed rpm packages (rpmdb.sqlite through SQLite), snaps (/snap/<name>/current/meta/snap.yaml)
// and system flatpak applications (/var/lib/flatpak/app) below the options' root, in that order.
std::vector<devsrc::Package> installedOtherSoftware(const LinuxProviderOptions& options);
// The hypervisor's CPUID signature of the running processor; "" when there is none or on other
// processors than x86.
std::string cpuidHypervisorVendor();
}  // namespace devices

namespace linuxfill {

// The largest file read whole (the package database of a big server is a few tens of MB), and the
// most read of a file of which only the first line counts (sysfs attributes hold one page at most).
inline constexpr size_t kMaxFile = size_t{256} << 20;
inline constexpr size_t kMaxLine = size_t{64} << 10;

// The machine below the provider's root, as every fill function reads it. Whole files and folders
// are read through the OS seam (os().readFile, os().listFolder): regular files only, opened without
// waiting, at most kMaxFile bytes. Every path is absolute on the audited machine. Used by the thread
// that asks for a class; not shared between threads.
class Machine {
 public:
  Machine(std::string root, std::function<std::vector<InterfaceAddress>()> addresses,
          std::function<std::optional<std::string>()> serviceUnits, bool extendedInventory);

  // The path of `absolute` on this system (below the root), for libraries that open files themselves.
  std::string path(const std::string& absolute) const { return root_ + absolute; }
  // True when the root is the running system's "/": only then may live facts (CPUID) be used.
  bool live() const { return root_.empty(); }

  // The whole regular file; nullopt when it is missing, unreadable, not a regular file or larger
  // than kMaxFile bytes.
  std::optional<std::string> read(const std::string& absolute) const;
  // At most the first `limit` bytes of a regular file; what lies past them is never read.
  std::optional<std::string> head(const std::string& absolute, size_t limit) const;
  // The first line, trimmed; nullopt when the file is missing, larger than kMaxLine bytes or that
  // line is empty.
  std::optional<std::string> line(const std::string& absolute) const;
  // The first line as an integer (C notation: "0x" hexadecimal); nullopt when it is not one.
  std::optional<std::int64_t> integer(const std::string& absolute) const;
  // The entries of a folder, sorted by name; none when it cannot be read.
  std::vector<std::string> list(const std::string& absolute) const;
  // Whether anything (a link too) is there.
  bool exists(const std::string& absolute) const;
  std::optional<struct stat> status(const std::string& absolute) const;
  std::optional<std::string> link(const std::string& absolute) const;
  std::optional<struct statvfs> fsStatus(const std::string& absolute) const;

  // The short host name, as the inventory script writes it.
  std::string hostName() const;
  std::string upperHostName() const;
  std::vector<InterfaceAddress> addresses() const;
  // False when the policy leaves the extended inventory out (the software outside dpkg included).
  bool extendedInventory() const { return extendedInventory_; }
  // systemd's list of loaded services, where systemd runs the audited machine.
  std::optional<std::string> serviceUnits() const;
  // A vendor as sysfs gives it: a PCI vendor id ("0x1af4", virtio) becomes the vendor's name from
  // hwdata's pci.ids (or the pci.ids package's copy), else from a few ids built in; an id that
  // neither knows gives nothing; any other text is the name itself.
  std::optional<std::string> vendorName(const std::string& vendor) const;
  // The names of the wanted (vendor, device) ids in an ids file (pci.ids, usb.ids), as lookupIds()
  // gives them; nullopt when the file cannot be read. Each ids file is read once, in 64 KB blocks,
  // into an index of its vendors' blocks (kept for the provider's life, shared by every class that
  // names devices); a lookup reads back only the wanted vendors' lines.
  std::optional<std::map<std::pair<unsigned, unsigned>, devsrc::IdNames>> idNames(
      const std::string& absolute, const std::set<std::pair<unsigned, unsigned>>& wanted) const;
  // 64 or 32: the ELF class of the system's shell, which is what the installed system runs.
  std::optional<std::int64_t> osBits() const;

 private:
  const devsrc::IdsIndex* idsIndex(const std::string& absolute) const;
  std::optional<std::string> range(const std::string& absolute, std::uint64_t offset,
                                   std::uint64_t end) const;

  std::string root_;
  std::function<std::vector<InterfaceAddress>()> addresses_;
  std::function<std::optional<std::string>()> serviceUnits_;
  bool extendedInventory_ = true;
  mutable std::optional<std::string> hostName_;
  mutable std::map<std::string, std::optional<devsrc::IdsIndex>> idsIndexes_;
};

// The fill function of every ClassFill: each adds its class's instances to `out`.
using Filler = void (*)(const Machine&, Instances&);

// ProcFillsLinux.cpp
void fillPerfOSSystem(const Machine& m, Instances& out);
void fillOperatingSystem(const Machine& m, Instances& out);
void fillProcess(const Machine& m, Instances& out);
void fillProcessor(const Machine& m, Instances& out);
// HardwareFillsLinux.cpp
void fillBattery(const Machine& m, Instances& out);
void fillSystemEnclosure(const Machine& m, Instances& out);
void fillBios(const Machine& m, Instances& out);
void fillBaseBoard(const Machine& m, Instances& out);
void fillCDROMDrive(const Machine& m, Instances& out);
void fillVideoController(const Machine& m, Instances& out);
void fillComputerSystemProduct(const Machine& m, Instances& out);
void fillPhysicalMemory(const Machine& m, Instances& out);
void fillSCSIController(const Machine& m, Instances& out);
void fillSoundDevice(const Machine& m, Instances& out);
void fillCodecFile(const Machine& m, Instances& out);
// EtcFillsLinux.cpp
void fillTimeZone(const Machine& m, Instances& out);
void fillEnvironment(const Machine& m, Instances& out);
void fillUserAccount(const Machine& m, Instances& out);
void fillGroup(const Machine& m, Instances& out);
void fillShare(const Machine& m, Instances& out);
void fillPrinter(const Machine& m, Instances& out);
// StorageFillsLinux.cpp
void fillDiskDrive(const Machine& m, Instances& out);
void fillLogicalDisk(const Machine& m, Instances& out);
void fillLogicalDiskToPartition(const Machine& m, Instances& out);
void fillVolume(const Machine& m, Instances& out);
// NetworkFillsLinux.cpp
void fillNetworkAdapterConfiguration(const Machine& m, Instances& out);
void fillIP4RouteTable(const Machine& m, Instances& out);
// The running system's interface addresses (getifaddrs).
std::vector<InterfaceAddress> systemAddresses();
// SoftwareFillsLinux.cpp
// dpkg's packages, then (extended inventory) those of rpm, snap and flatpak, marked by InstallSource.
void fillProduct(const Machine& m, Instances& out);
void fillService(const Machine& m, Instances& out);
void fillNTEventLogFile(const Machine& m, Instances& out);
// rpm, snap and flatpak packages, in that order.
std::vector<devsrc::Package> otherSoftware(const Machine& m);
// The output of `<systemctl> list-units` for services, all of them in one call; nothing when it
// cannot be run, fails, or takes longer than its time-out. The program is KN_SYSTEMCTL, else systemctl.
std::optional<std::string> systemctlServiceUnits();
// DeviceFillsLinux.cpp
void fillComputerSystem(const Machine& m, Instances& out);
void fillPnPEntity(const Machine& m, Instances& out);
void fillDesktopMonitor(const Machine& m, Instances& out);
void fillNetworkAdapter(const Machine& m, Instances& out);
void fillDiskPartition(const Machine& m, Instances& out);

// ---- Small helpers of the fill functions ----------------------------------------------------------

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

inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

inline bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

inline std::string baseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The WMI date-time text of a calendar time in the process's local time zone.
std::string localWmiDateTime(std::time_t t);

inline const std::string kDmi = "/sys/class/dmi/id/";

}  // namespace linuxfill
}  // namespace kn
