// The extended inventory classes of the Linux instance provider: computer system, PnP devices
// (PCI and USB), monitors, network adapters, disk partitions, and software outside dpkg.
//
// The provider (InstanceProviderLinux.cpp) declares these classes in its table like every other;
// their fill functions live here and read the machine only through MachineFiles, which the provider
// implements with its own bounded reader below its root. Parsing is in DeviceSources.cpp.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DeviceSources.h"
#include "InstanceProvider.h"

namespace kn::devices {

// The machine as the fill functions see it. Every path is absolute on the audited machine.
class MachineFiles {
 public:
  virtual ~MachineFiles() = default;
  // A whole regular file, opened without blocking; nullopt when missing, not regular or too large.
  virtual std::optional<std::string> read(const std::string& absolute) const = 0;
  // At most the first `limit` bytes of a regular file.
  virtual std::optional<std::string> head(const std::string& absolute, size_t limit) const = 0;
  // The first line, trimmed; nullopt when missing or empty.
  virtual std::optional<std::string> line(const std::string& absolute) const = 0;
  // Folder entries sorted by name, without "." and "..".
  virtual std::vector<std::string> list(const std::string& absolute) const = 0;
  virtual std::optional<std::string> link(const std::string& absolute) const = 0;
  virtual bool exists(const std::string& absolute) const = 0;
  // The path of `absolute` on this system (below the root), for libraries that open files themselves.
  virtual std::string path(const std::string& absolute) const = 0;
  // True when the root is the running system's "/": only then may live facts (CPUID) be used.
  virtual bool live() const = 0;
  virtual std::string hostName() const = 0;
  // The names of the wanted (vendor, device) ids in an ids file (pci.ids, usb.ids), as lookupIds()
  // gives them; nullopt when the file cannot be read. This one reads the file whole each time; the
  // provider reads each ids file once and keeps only an index of it.
  virtual std::optional<std::map<std::pair<unsigned, unsigned>, devsrc::IdNames>> idNames(
      const std::string& absolute, const std::set<std::pair<unsigned, unsigned>>& wanted) const {
    const auto text = read(absolute);
    if (!text) return std::nullopt;
    return devsrc::lookupIds(*text, wanted);
  }
};

// One instance as (property, value) pairs; the provider checks each name against its table.
using Row = std::vector<std::pair<std::string, WmiValue>>;

std::vector<Row> computerSystem(const MachineFiles& m);
std::vector<Row> pnpEntities(const MachineFiles& m);
std::vector<Row> desktopMonitors(const MachineFiles& m);
std::vector<Row> networkAdapters(const MachineFiles& m);
std::vector<Row> diskPartitions(const MachineFiles& m);
// Win32_Product rows of the software outside dpkg, "InstallSource" naming its source.
std::vector<Row> otherProducts(const MachineFiles& m);

// Installed rpm packages (rpmdb.sqlite through SQLite), snaps (/snap/<name>/current/meta/snap.yaml)
// and system flatpak applications (/var/lib/flatpak/app), in that order.
std::vector<devsrc::Package> otherSoftware(const MachineFiles& m);

// otherSoftware() of the Linux provider's machine (its root, its reader).
std::vector<devsrc::Package> installedOtherSoftware(const LinuxProviderOptions& options = {});

// The hypervisor's CPUID signature of the running processor; "" when there is none or on other
// processors than x86.
std::string cpuidHypervisorVendor();

}  // namespace kn::devices
