// Fill functions of the extended inventory's hardware classes: PCI and USB devices, monitors (EDID),
// network adapters, disk partitions (udev's database, never the disk itself) and the computer system
// (directory membership, virtualization). Device names come from the ids files through the
// provider's shared index (Machine::idNames); parsing is in DeviceSources.cpp.
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "InstanceProviderLinux.h"
#include "LinuxSources.h"

namespace kn::linuxfill {
namespace {

using namespace devsrc;

std::string hex4(unsigned v, bool capitals) {
  char text[8];
  std::snprintf(text, sizeof text, capitals ? "%04X" : "%04x", v & 0xFFFF);
  return text;
}

std::optional<std::int64_t> integerOf(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  char* end = nullptr;
  const long long v = std::strtoll(text->c_str(), &end, 10);
  if (end == text->c_str() || *end != '\0') return std::nullopt;
  return v;
}

// The names of the wanted ids from the first ids file found; none when no file is installed.
std::map<std::pair<unsigned, unsigned>, IdNames> idNames(
    const Machine& m, std::initializer_list<const char*> files,
    const std::set<std::pair<unsigned, unsigned>>& wanted) {
  if (wanted.empty()) return {};
  for (const char* file : files)
    if (auto names = m.idNames(file, wanted)) return std::move(*names);
  return {};
}

const std::initializer_list<const char*> kPciIds = {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids",
                                                    "/usr/share/pci.ids"};
const std::initializer_list<const char*> kUsbIds = {"/usr/share/misc/usb.ids", "/usr/share/hwdata/usb.ids",
                                                    "/var/lib/usbutils/usb.ids", "/usr/share/usb.ids"};

// ---- PCI and USB devices -------------------------------------------------------------------------

struct PciDevice {
  std::string slot;  // "0000:00:02.0"
  unsigned vendor = 0, device = 0, subVendor = 0, subDevice = 0, revision = 0, classCode = 0;
  std::optional<std::string> driver;
  std::string pnpId() const {
    char rev[4];
    std::snprintf(rev, sizeof rev, "%02X", revision & 0xFF);
    return "PCI\\VEN_" + hex4(vendor, true) + "&DEV_" + hex4(device, true) + "&SUBSYS_" +
           hex4(subDevice, true) + hex4(subVendor, true) + "&REV_" + rev + "\\" + slot;
  }
};

std::vector<PciDevice> pciDevices(const Machine& m) {
  std::vector<PciDevice> out;
  for (const std::string& slot : m.list("/sys/bus/pci/devices")) {
    const std::string dir = "/sys/bus/pci/devices/" + slot + "/";
    const auto hex = [&](const char* file, unsigned max) {
      return parseHex(m.line(dir + file).value_or(""), max);
    };
    const auto vendor = hex("vendor", 0xFFFF), device = hex("device", 0xFFFF);
    if (!vendor || !device) continue;
    PciDevice d;
    d.slot = slot;
    d.vendor = *vendor;
    d.device = *device;
    d.subVendor = hex("subsystem_vendor", 0xFFFF).value_or(0);
    d.subDevice = hex("subsystem_device", 0xFFFF).value_or(0);
    d.revision = hex("revision", 0xFF).value_or(0);
    d.classCode = hex("class", 0xFFFFFF).value_or(0);
    if (const auto link = m.link(dir + "driver")) d.driver = baseName(*link);
    out.push_back(std::move(d));
  }
  return out;
}

// The PCI function a sysfs device path lies below ("../../devices/pci0000:00/0000:00:03.0/virtio2/net/eth0"
// -> "0000:00:03.0"); "" when none.
std::string pciSlotOf(std::string_view path) {
  std::string slot;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    // dddd:bb:dd.f
    if (part.size() == 12 && part[4] == ':' && part[7] == ':' && part[10] == '.') slot = std::string(part);
    pos = end + 1;
  }
  return slot;
}

// One device of Win32_PnPEntity; `driver` is the bound driver's name, nullopt when none is bound.
void addPnpEntity(Instances& out, const std::string& id, const std::string& name,
                  const std::string& manufacturer, std::optional<std::string> pnpClass,
                  const std::optional<std::string>& driver) {
  out.add()
      .set("DeviceID", id)
      .set("PNPDeviceID", id)
      .set("Name", name)
      .set("Caption", name)
      .set("Description", name)
      .set("Manufacturer", manufacturer)
      .set("PNPClass", std::move(pnpClass))
      .set("Service", driver)
      .set("Present", true)
      .set("Status", driver ? "OK" : "Unknown");
}

}  // namespace

void fillPnPEntity(const Machine& m, Instances& out) {
  const auto pci = pciDevices(m);
  std::set<std::pair<unsigned, unsigned>> wanted;
  for (const PciDevice& d : pci) wanted.insert({d.vendor, d.device});
  const auto pciNames = idNames(m, kPciIds, wanted);
  for (const PciDevice& d : pci) {
    const auto names = pciNames.find({d.vendor, d.device});
    const IdNames known = names == pciNames.end() ? IdNames() : names->second;
    const std::string name =
        known.device.value_or("PCI device " + hex4(d.vendor, false) + ":" + hex4(d.device, false));
    const std::string id = d.pnpId();
    addPnpEntity(out, id, name, known.vendor.value_or(hex4(d.vendor, false)), pciPnpClass(d.classCode),
                 d.driver);
  }

  // USB devices are the entries without ":" (those with one are their interfaces).
  struct UsbDevice {
    std::string entry;
    unsigned vendor = 0, product = 0, usbClass = 0;
  };
  std::vector<UsbDevice> usb;
  wanted.clear();
  for (const std::string& entry : m.list("/sys/bus/usb/devices")) {
    if (entry.find(':') != std::string::npos) continue;
    const std::string dir = "/sys/bus/usb/devices/" + entry + "/";
    const auto vendor = parseHex(m.line(dir + "idVendor").value_or(""), 0xFFFF);
    const auto product = parseHex(m.line(dir + "idProduct").value_or(""), 0xFFFF);
    if (!vendor || !product) continue;
    unsigned usbClass = parseHex(m.line(dir + "bDeviceClass").value_or(""), 0xFF).value_or(0);
    // Class 0: each interface names its own; the first one tells what the device is.
    if (usbClass == 0)
      usbClass = parseHex(m.line(dir + entry + ":1.0/bInterfaceClass").value_or(""), 0xFF).value_or(0);
    usb.push_back({entry, *vendor, *product, usbClass});
    wanted.insert({*vendor, *product});
  }
  const auto usbNames = idNames(m, kUsbIds, wanted);
  for (const UsbDevice& d : usb) {
    const std::string dir = "/sys/bus/usb/devices/" + d.entry + "/";
    const auto names = usbNames.find({d.vendor, d.product});
    const IdNames known = names == usbNames.end() ? IdNames() : names->second;
    const std::string name =
        known.device ? *known.device
                     : m.line(dir + "product")
                           .value_or("USB device " + hex4(d.vendor, false) + ":" + hex4(d.product, false));
    const std::string manufacturer =
        known.vendor ? *known.vendor : m.line(dir + "manufacturer").value_or(hex4(d.vendor, false));
    // The function's driver (usbhid, usb-storage, hub) says more than the device's generic "usb".
    auto driver = m.link(dir + d.entry + ":1.0/driver");
    if (!driver) driver = m.link(dir + "driver");
    const std::string instance = m.line(dir + "serial").value_or(d.entry);
    const std::string id =
        "USB\\VID_" + hex4(d.vendor, true) + "&PID_" + hex4(d.product, true) + "\\" + instance;
    addPnpEntity(out, id, name, manufacturer, usbPnpClass(d.usbClass),
                 driver ? std::optional<std::string>(baseName(*driver)) : std::nullopt);
  }
}

// ---- Monitors ------------------------------------------------------------------------------------

void fillDesktopMonitor(const Machine& m, Instances& out) {
  // An EDID is a 128-byte base block and at most 255 extension blocks.
  constexpr size_t kMaxEdid = 256 * 128;
  int n = 0;
  for (const std::string& connector : m.list("/sys/class/drm")) {
    if (connector.find('-') == std::string::npos) continue;  // "card0-HDMI-A-1", not "card0"
    const std::string dir = "/sys/class/drm/" + connector + "/";
    const auto blob = m.head(dir + "edid", kMaxEdid);
    const auto edid = blob ? parseEdid(*blob) : std::nullopt;
    if (!edid) continue;  // nothing attached, or an EDID that cannot be trusted
    int width = edid->preferredWidth, height = edid->preferredHeight;
    if (const auto mode = m.line(dir + "modes")) {
      int w = 0, h = 0;
      if (std::sscanf(mode->c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) width = w, height = h;
    }
    const std::string name = edid->name.empty() ? "Generic PnP Monitor" : edid->name;
    auto& row = out.add();
    row.set("DeviceID", "DesktopMonitor" + std::to_string(++n))
        .set("Name", name)
        .set("Caption", name)
        .set("Description", name)
        .set("MonitorType", name)
        .set("MonitorManufacturer", pnpManufacturerName(edid->manufacturerId))
        .set("PNPDeviceID",
             "DISPLAY\\" + edid->manufacturerId + hex4(edid->productCode, true) + "\\" + connector)
        .set("SerialNumberID", linuxsrc::nonEmpty(edid->serial()))
        .set("YearOfManufacture", edid->yearOfManufacture)
        .set("Status", "OK");
    if (edid->weekOfManufacture > 0 && edid->weekOfManufacture <= 54)
      row.set("WeekOfManufacture", edid->weekOfManufacture);
    if (width > 0 && height > 0) row.set("ScreenWidth", width).set("ScreenHeight", height);
  }
}

// ---- Network adapters ----------------------------------------------------------------------------

void fillNetworkAdapter(const Machine& m, Instances& out) {
  struct Adapter {
    std::string name, slot;
    std::optional<PciDevice> pci;
  };
  std::vector<Adapter> adapters;
  std::map<std::string, PciDevice> bySlot;
  for (PciDevice& d : pciDevices(m)) bySlot.emplace(d.slot, std::move(d));
  std::set<std::pair<unsigned, unsigned>> wanted;
  for (const std::string& name : m.list("/sys/class/net")) {
    if (integerOf(m.line("/sys/class/net/" + name + "/type")) == 772) continue;  // loopback
    Adapter a{name, pciSlotOf(m.link("/sys/class/net/" + name).value_or("")), std::nullopt};
    if (const auto it = bySlot.find(a.slot); it != bySlot.end()) {
      a.pci = it->second;
      wanted.insert({a.pci->vendor, a.pci->device});
    }
    adapters.push_back(std::move(a));
  }
  const auto names = idNames(m, kPciIds, wanted);

  for (const Adapter& a : adapters) {
    const std::string dir = "/sys/class/net/" + a.name + "/";
    const auto index = integerOf(m.line(dir + "ifindex"));
    const auto type = integerOf(m.line(dir + "type")).value_or(0);
    const std::string target = m.link("/sys/class/net/" + a.name).value_or("");
    const bool physical = m.exists(dir + "device") && target.find("/virtual/") == std::string::npos;
    const bool wireless = m.exists(dir + "wireless") || m.exists(dir + "phy80211");
    std::optional<std::string> adapterType;
    std::optional<std::int64_t> adapterTypeId;
    if (wireless) {
      adapterType = "Wireless", adapterTypeId = 9;
    } else if (type == 1) {
      adapterType = "Ethernet 802.3", adapterTypeId = 0;
    } else if (type == 512) {
      adapterType = "Wide Area Network (WAN)", adapterTypeId = 3;
    }
    // Mb/s in sysfs; -1 or a failing read when the link has no speed (virtual, down).
    const auto mbps = integerOf(m.line(dir + "speed"));
    const auto flags = parseHex(m.line(dir + "flags").value_or(""));
    const bool adminUp = flags && (*flags & 1);
    const std::string oper = m.line(dir + "operstate").value_or("unknown");
    const bool carrier = integerOf(m.line(dir + "carrier")) == 1;
    const int status = !adminUp                       ? 0
                       : oper == "up"                 ? 2
                       : oper == "dormant"            ? 1
                       : oper == "unknown" && carrier ? 2
                                                      : 7;
    std::optional<std::string> product, maker;
    if (a.pci) {
      const auto it = names.find({a.pci->vendor, a.pci->device});
      if (it != names.end()) product = it->second.device, maker = it->second.vendor;
    }
    const std::string name = product.value_or(a.name);
    char caption[32];
    std::snprintf(caption, sizeof caption, "[%08lld] ", static_cast<long long>(index.value_or(0)));
    const auto driver = m.link(dir + "device/driver");
    auto& row = out.add();
    row.set("DeviceID", index ? std::optional<std::string>(std::to_string(*index)) : std::nullopt)
        .set("Index", index)
        .set("InterfaceIndex", index)
        .set("Name", name)
        .set("Caption", caption + name)
        .set("Description", name)
        .set("ProductName", product)
        .set("Manufacturer", maker)
        .set("NetConnectionID", a.name)
        .set("MACAddress", linuxsrc::nonEmpty(linuxsrc::upper(m.line(dir + "address").value_or(""))))
        .set("AdapterType", adapterType)
        .set("AdapterTypeId", adapterTypeId)
        .set("PhysicalAdapter", physical)
        .set("NetEnabled", adminUp)
        .set("NetConnectionStatus", status)
        .set("ServiceName", driver ? std::optional<std::string>(baseName(*driver)) : std::nullopt)
        .set("PNPDeviceID", a.pci ? std::optional<std::string>(a.pci->pnpId()) : std::nullopt);
    if (mbps && *mbps > 0) row.set("Speed", std::optional<std::string>(std::to_string(*mbps * 1000000)));
  }
}

// ---- Disk partitions -----------------------------------------------------------------------------

void fillDiskPartition(const Machine& m, Instances& out) {
  int diskIndex = 0;
  for (const std::string& disk : m.list("/sys/block")) {
    const std::string dir = "/sys/block/" + disk + "/";
    // The disks of Win32_DiskDrive, in its order, so DiskIndex matches its Index.
    if (!m.exists(dir + "device") || disk.starts_with("sr") || disk.starts_with("loop")) continue;
    const int index = diskIndex++;
    const auto udev = [&](const std::string& folder) {
      const auto dev = m.line(folder + "dev");
      return dev ? parseUdevProperties(m.read("/run/udev/data/b" + *dev).value_or(""))
                 : std::map<std::string, std::string>();
    };
    const auto diskProps = udev(dir);
    const std::string diskScheme =
        diskProps.count("ID_PART_TABLE_TYPE") ? diskProps.at("ID_PART_TABLE_TYPE") : "";
    const std::int64_t blockSize = integerOf(m.line(dir + "queue/logical_block_size")).value_or(512);
    for (const std::string& part : m.list("/sys/block/" + disk)) {
      const std::string pdir = dir + part + "/";
      if (!part.starts_with(disk)) continue;
      const auto number = integerOf(m.line(pdir + "partition"));
      if (!number) continue;
      const auto props = udev(pdir);
      const auto prop = [&](const char* key) { return props.count(key) ? props.at(key) : std::string(); };
      std::string scheme = prop("ID_PART_ENTRY_SCHEME");
      if (scheme.empty()) scheme = diskScheme;
      const std::string type = prop("ID_PART_ENTRY_TYPE");
      // sysfs counts sizes and offsets in 512-byte sectors, whatever the disk's block size.
      const auto sectors = integerOf(m.line(pdir + "size"));
      const auto start = integerOf(m.line(pdir + "start"));
      const std::string name =
          "Disk #" + std::to_string(index) + ", Partition #" + std::to_string(*number - 1);
      auto& row = out.add();
      row.set("DeviceID", "/dev/" + part)
          .set("Name", name)
          .set("Caption", name)
          .set("DiskIndex", index)
          .set("Index", *number - 1)
          .set("BlockSize", blockSize)
          .set("Status", "OK");
      if (sectors) {
        row.set("Size", std::optional<std::string>(std::to_string(*sectors * 512)))
            .set("NumberOfBlocks", std::optional<std::string>(std::to_string(*sectors * 512 / blockSize)));
      }
      if (start) row.set("StartingOffset", std::optional<std::string>(std::to_string(*start * 512)));
      if (!scheme.empty()) {
        const bool bootable = partitionBootable(scheme, type, prop("ID_PART_ENTRY_FLAGS"));
        const std::string typeName = type.empty() ? "Unknown" : partitionTypeName(scheme, type);
        row.set("Type", typeName)
            .set("Description", typeName)
            .set("Bootable", bootable)
            .set("BootPartition", bootable)
            .set("PrimaryPartition", scheme == "gpt" || *number <= 4);
      }
    }
  }
}

// ---- Computer system -----------------------------------------------------------------------------

}  // namespace kn::linuxfill

std::string kn::devices::cpuidHypervisorVendor() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(1, a, b, c, d);
  if (!(c & (1u << 31))) return "";  // no hypervisor
  __cpuid(0x40000000, a, b, c, d);
  char vendor[13] = {};
  std::memcpy(vendor, &b, 4);
  std::memcpy(vendor + 4, &c, 4);
  std::memcpy(vendor + 8, &d, 4);
  return std::string(vendor, ::strnlen(vendor, 12));
#else
  return "";
#endif
}

namespace kn::linuxfill {
namespace {

using namespace devsrc;

// The system type Windows names after the processor architecture of the installed system: the
// machine of /bin/sh's ELF header.
std::optional<std::string> systemType(const Machine& m) {
  const auto elf = m.head("/bin/sh", 20);
  if (!elf || elf->size() < 20 || elf->compare(0, 4, "\177ELF") != 0) return std::nullopt;
  const auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>((*elf)[i])); };
  const unsigned machine = byte(5) == 2 ? byte(18) << 8 | byte(19) : byte(19) << 8 | byte(18);
  switch (machine) {
    case 3:
      return "X86-based PC";
    case 0x3E:
      return "x64-based PC";
    case 0x28:
      return "ARM-based PC";
    case 0xB7:
      return "ARM64-based PC";
    default:
      return std::nullopt;
  }
}

VirtFacts virtFacts(const Machine& m) {
  VirtFacts f;
  for (const char* file : {"sys_vendor", "board_vendor", "product_name", "bios_vendor", "product_version"})
    if (const auto text = m.line(std::string("/sys/class/dmi/id/") + file)) f.dmi.push_back(*text);
  if (m.live()) f.cpuidVendor = devices::cpuidHypervisorVendor();
  if (const auto cpuinfo = m.read("/proc/cpuinfo")) {
    const size_t flags = cpuinfo->find("\nflags");
    const size_t end = cpuinfo->find('\n', flags + 1);
    f.hypervisorFlag =
        flags != std::string::npos &&
        (" " + cpuinfo->substr(flags, end - flags) + " ").find(" hypervisor ") != std::string::npos;
  }
  f.sysHypervisorType = m.line("/sys/hypervisor/type").value_or("");
  f.xenControlDomain = m.read("/proc/xen/capabilities").value_or("").find("control_d") != std::string::npos;
  f.deviceTreeHypervisor = m.head("/proc/device-tree/hypervisor/compatible", 4096).value_or("");
  std::replace(f.deviceTreeHypervisor.begin(), f.deviceTreeHypervisor.end(), '\0', ' ');
  f.containerManagerFile =
      m.line("/run/host/container-manager").value_or(m.line("/run/systemd/container").value_or(""));
  // PID 1's environment is readable by root only; "container=" is how managers tell their init.
  const std::string environ = m.head("/proc/1/environ", 1 << 20).value_or("");
  for (size_t pos = 0; pos < environ.size();) {
    size_t end = environ.find('\0', pos);
    if (end == std::string::npos) end = environ.size();
    if (environ.compare(pos, 10, "container=") == 0)
      f.pid1Container = environ.substr(pos + 10, end - pos - 10);
    pos = end + 1;
  }
  f.containerEnv = m.exists("/run/.containerenv");
  f.dockerEnv = m.exists("/.dockerenv");
  f.openvz = m.exists("/proc/vz") && !m.exists("/proc/bc");
  f.osRelease = m.line("/proc/sys/kernel/osrelease").value_or("");
  return f;
}

}  // namespace

void fillComputerSystem(const Machine& m, Instances& out) {
  using namespace linuxsrc;
  const std::string dmi = "/sys/class/dmi/id/";
  const Fields mem = parseColonFields(m.read("/proc/meminfo").value_or(""));
  const auto cpus = parseCpuinfo(m.read("/proc/cpuinfo").value_or(""));
  std::set<std::string> packages;
  std::int64_t logical = 0;
  for (const Fields& cpu : cpus) {
    if (!field(cpu, "processor")) continue;
    ++logical;
    packages.insert(field(cpu, "physical id").value_or("0"));
  }
  // Directory membership: Samba as a member of a domain, or SSSD serving one.
  std::optional<std::string> realm, workgroup;
  bool partOfDomain = false;
  for (const IniSection& s : parseIniSections(m.read("/etc/samba/smb.conf").value_or(""))) {
    if (s.name != "global") continue;
    workgroup = field(s.values, "workgroup");
    const std::string security = field(s.values, "security").value_or("");
    if (security == "ads" || security == "ADS" || security == "domain") {
      partOfDomain = true;
      realm = field(s.values, "realm");
      if (!realm) realm = workgroup;
    }
  }
  if (!partOfDomain) {
    for (const IniSection& s : parseIniSections(m.read("/etc/sssd/sssd.conf").value_or(""))) {
      if (s.name.starts_with("domain/")) {
        partOfDomain = true;
        realm = s.name.substr(7);
        break;
      }
    }
  }
  // The DNS domain: the rest of a full host name, else the resolver's local domain.
  std::optional<std::string> dnsDomain;
  const std::string fullName =
      m.line("/proc/sys/kernel/hostname").value_or(m.line("/etc/hostname").value_or(""));
  if (const size_t dot = fullName.find('.'); dot != std::string::npos)
    dnsDomain = linuxsrc::nonEmpty(fullName.substr(dot + 1));
  if (!dnsDomain) dnsDomain = resolvConfDomain(m.read("/etc/resolv.conf").value_or(""));
  const VirtFacts facts = virtFacts(m);
  const Virtualization virt = detectVirtualization(facts);
  const bool hypervisor = !virt.vm.empty();
  const auto memTotal = kilobytes(mem, "MemTotal");
  const std::string host = linuxsrc::upper(m.hostName());

  auto& row = out.add();
  row.set("Name", linuxsrc::nonEmpty(host))
      .set("Caption", linuxsrc::nonEmpty(host))
      .set("DNSHostName", linuxsrc::nonEmpty(m.hostName()))
      .set("Manufacturer", m.line(dmi + "sys_vendor"))
      .set("Model", m.line(dmi + "product_name"))
      .set("SystemFamily", m.line(dmi + "product_family"))
      .set("SystemType", systemType(m))
      .set("PartOfDomain", partOfDomain)
      .set("Domain", partOfDomain ? realm
                     : dnsDomain  ? dnsDomain
                                  : workgroup.value_or("WORKGROUP"))
      .set("HypervisorPresent", hypervisor || facts.hypervisorFlag)
      .set("VirtualizationType", virt.kind())
      .set("VirtualMachineType", linuxsrc::nonEmpty(virt.vm))
      .set("ContainerType", linuxsrc::nonEmpty(virt.container))
      .set("Status", "OK");
  if (!partOfDomain) row.set("Workgroup", workgroup.value_or("WORKGROUP"));
  if (memTotal) row.set("TotalPhysicalMemory", std::optional<std::string>(std::to_string(*memTotal * 1024)));
  if (logical)
    row.set("NumberOfProcessors", std::int64_t(packages.size())).set("NumberOfLogicalProcessors", logical);
}

}  // namespace kn::linuxfill
