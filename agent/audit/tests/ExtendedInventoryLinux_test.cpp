// The extended classes of the Linux provider on a small machine in a temporary root: PCI and USB
// devices, monitors, network adapters, partitions, the computer system, and software outside dpkg;
// and the policy that leaves them out of the document.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "InstanceProvider.h"
#include "InstanceProviderLinux.h"
#include "InventoryPolicy.h"
#include "KNBase64.h"
#include "KNRegistryFake.h"
#include "TempRoot.h"
#include "WMIAuditor.h"

namespace kn {
namespace {

using nlohmann::json;
using test::TempRoot;

const std::string kFixtures = std::string(KN_AUDIT_FIXTURES) + "/devices";

class DeviceMachine {
 public:
  DeviceMachine() {
    copy("pci.ids", "usr/share/misc/pci.ids");
    copy("usb.ids", "usr/share/misc/usb.ids");

    // PCI: a host bridge without a driver and the virtio network function behind eth0.
    pci("0000:00:00.0", "0x8086", "0x0d57", "0x060000", "");
    pci("0000:00:03.0", "0x1af4", "0x1041", "0x020000", "virtio-pci");

    // USB: a root hub and a receiver whose first interface is bound to usbhid.
    usb("usb1", "1d6b", "0002", "09", "", "hub");
    usb("1-1", "046d", "c52b", "00", "03", "usbhid");
    root.write("sys/bus/usb/devices/1-1/product", "USB Receiver\n");
    root.write("sys/bus/usb/devices/1-1:1.0/bInterfaceClass", "03\n");

    // Monitors: one on DisplayPort with its current mode, a laptop panel, an empty HDMI port.
    copy("edid/dell-u2415.bin", "sys/class/drm/card0-DP-1/edid");
    root.write("sys/class/drm/card0-DP-1/modes", "1600x900\n1920x1200\n");
    copy("edid/auo-panel.bin", "sys/class/drm/card0-eDP-1/edid");
    root.write("sys/class/drm/card0-HDMI-A-1/edid", "");
    root.write("sys/class/drm/card0/dev", "226:0\n");

    // Network: eth0 on the virtio function, a virtual ifb0 that is down, a wireless card without
    // carrier, and the loopback.
    netdev("eth0", "devices/pci0000:00/0000:00:03.0/virtio2/net/eth0", "2", "up", "0x1003", "1", "1000");
    link("sys/devices/pci0000:00/0000:00:03.0/virtio2/net/eth0/device", "../../../virtio2");
    link("sys/devices/pci0000:00/0000:00:03.0/virtio2/driver", "../../../../bus/virtio/drivers/virtio_net");
    netdev("ifb0", "devices/virtual/net/ifb0", "3", "down", "0x1002", "", "");
    netdev("wlan0", "devices/pci0000:00/0000:00:14.3/net/wlan0", "4", "down", "0x1003", "0", "");
    std::filesystem::create_directories(root / "sys/devices/pci0000:00/0000:00:14.3/net/wlan0/wireless");
    link("sys/devices/pci0000:00/0000:00:14.3/net/wlan0/device", "../../../0000:00:14.3");
    netdev("lo", "devices/virtual/net/lo", "1", "unknown", "0x9", "1", "");
    root.write("sys/devices/virtual/net/lo/type", "772\n");

    // Disks: sda with GPT (EFI system, Linux), sdb with MBR (active primary, logical), loop0.
    disk("sda", "8:0", "gpt");
    partition("sda", "sda1", "8:1", 1, 2048, 1048576,
              "E:ID_PART_ENTRY_SCHEME=gpt\nE:ID_PART_ENTRY_TYPE=c12a7328-f81f-11d2-ba4b-00a0c93ec93b\n");
    partition("sda", "sda2", "8:2", 2, 1050624, 4000000,
              "E:ID_PART_ENTRY_SCHEME=gpt\nE:ID_PART_ENTRY_TYPE=0fc63daf-8483-4772-8e79-3d69d8477de4\n");
    disk("sdb", "8:16", "dos");
    partition("sdb", "sdb1", "8:17", 1, 63, 1000, "E:ID_PART_ENTRY_TYPE=0x7\nE:ID_PART_ENTRY_FLAGS=0x80\n");
    partition("sdb", "sdb5", "8:21", 5, 2048, 500, "E:ID_PART_ENTRY_TYPE=0x83\n");
    root.write("sys/block/loop0/size", "100\n");
    root.write("sys/block/loop0/loop0p1/partition", "1\n");

    // The computer: QEMU firmware, a hypervisor flag, a Docker container, a Samba workgroup.
    root.write("sys/class/dmi/id/sys_vendor", "QEMU\n");
    root.write("sys/class/dmi/id/product_name", "Standard PC (Q35 + ICH9, 2009)\n");
    root.write("proc/cpuinfo",
               "processor\t: 0\nphysical id\t: 0\nflags\t\t: fpu lm hypervisor\n\n"
               "processor\t: 1\nphysical id\t: 0\nflags\t\t: fpu lm hypervisor\n");
    root.write("proc/meminfo", "MemTotal:       2000000 kB\n");
    root.write("proc/sys/kernel/hostname", "buildbox.corp.example\n");
    root.write(".dockerenv", "");
    root.write("etc/samba/smb.conf", "[global]\n   workgroup = OFFICE\n   security = user\n");

    // Software outside dpkg: the rpm database made by rpm, one snap, one flatpak application.
    copy("rpmdb.sqlite", "var/lib/rpm/rpmdb.sqlite");
    std::filesystem::create_directories(root / "snap/bin");
    root.write("snap/hello/29/meta/snap.yaml", "name: hello\nversion: 2.10\nsummary: GNU Hello\n");
    link("snap/hello/current", "29");
    const std::string app = "var/lib/flatpak/app/org.example.Editor/";
    root.write(app + "x86_64/stable/0123abcd/files/share/metainfo/org.example.Editor.metainfo.xml",
               "<component><summary>Edits text</summary><releases><release "
               "version=\"3.1\"/></releases></component>");
    link(app + "x86_64/stable/active", "0123abcd");
    link(app + "current", "x86_64/stable");
  }

  std::vector<WmiObject> instancesOf(const std::string& cls, bool extended = true) const {
    return createLinuxInstanceProvider(
               {.root = root.path(), .addresses = nullptr, .extendedInventory = extended})
        ->instancesOf(cls);
  }
  // The instances as name -> value maps of their non-null properties.
  std::vector<std::map<std::string, WmiValue>> rows(const std::string& cls) const {
    std::vector<std::map<std::string, WmiValue>> out;
    for (const WmiObject& o : instancesOf(cls)) {
      auto& row = out.emplace_back();
      for (const WmiProperty& p : o)
        if (!std::holds_alternative<std::monostate>(p.value)) row[p.name] = p.value;
    }
    return out;
  }

  TempRoot root;

 private:
  void copy(const std::string& fixture, const std::string& to) {
    std::filesystem::create_directories((root / to).substr(0, (root / to).rfind('/')));
    std::filesystem::copy_file(kFixtures + "/" + fixture, root / to);
  }
  void link(const std::string& at, const std::string& target) {
    std::filesystem::create_directories((root / at).substr(0, (root / at).rfind('/')));
    std::filesystem::create_symlink(target, root / at);
  }
  void pci(const std::string& slot, const char* vendor, const char* device, const char* cls,
           const char* driver) {
    const std::string dir = "sys/devices/pci0000:00/" + slot + "/";
    root.write(dir + "vendor", std::string(vendor) + "\n");
    root.write(dir + "device", std::string(device) + "\n");
    root.write(dir + "class", std::string(cls) + "\n");
    root.write(dir + "subsystem_vendor", std::string(vendor) + "\n");
    root.write(dir + "subsystem_device", std::string(device) + "\n");
    root.write(dir + "revision", "0x01\n");
    if (*driver) link(dir + "driver", "../../../bus/pci/drivers/" + std::string(driver));
    link("sys/bus/pci/devices/" + slot, "../../../devices/pci0000:00/" + slot);
  }
  void usb(const std::string& entry, const char* vendor, const char* product, const char* cls,
           const char* ifClass, const char* ifDriver) {
    const std::string dir = "sys/bus/usb/devices/" + entry + "/";
    root.write(dir + "idVendor", std::string(vendor) + "\n");
    root.write(dir + "idProduct", std::string(product) + "\n");
    root.write(dir + "bDeviceClass", std::string(cls) + "\n");
    if (*ifClass) root.write(dir + entry + ":1.0/bInterfaceClass", std::string(ifClass) + "\n");
    link(dir + entry + ":1.0/driver", "../../../../bus/usb/drivers/" + std::string(ifDriver));
    link(dir + "driver", "../../../bus/usb/drivers/usb");
    std::filesystem::create_directories(root / ("sys/bus/usb/devices/" + entry + ":1.0"));
  }
  void netdev(const std::string& name, const std::string& device, const char* index, const char* oper,
              const char* flags, const char* carrier, const char* speed) {
    const std::string dir = "sys/" + device + "/";
    root.write(dir + "type", "1\n");
    root.write(dir + "ifindex", std::string(index) + "\n");
    root.write(dir + "address", "52:54:00:ab:cd:0" + std::string(index) + "\n");
    root.write(dir + "operstate", std::string(oper) + "\n");
    root.write(dir + "flags", std::string(flags) + "\n");
    if (*carrier) root.write(dir + "carrier", std::string(carrier) + "\n");
    if (*speed) root.write(dir + "speed", std::string(speed) + "\n");
    link("sys/class/net/" + name, "../../" + device);
  }
  void disk(const std::string& name, const char* dev, const char* scheme) {
    const std::string dir = "sys/block/" + name + "/";
    std::filesystem::create_directories(root / (dir + "device"));
    root.write(dir + "dev", std::string(dev) + "\n");
    root.write(dir + "queue/logical_block_size", "512\n");
    root.write("run/udev/data/b" + std::string(dev), "E:ID_PART_TABLE_TYPE=" + std::string(scheme) + "\n");
  }
  void partition(const std::string& diskName, const std::string& name, const char* dev, int number,
                 long start, long size, const std::string& udev) {
    const std::string dir = "sys/block/" + diskName + "/" + name + "/";
    root.write(dir + "partition", std::to_string(number) + "\n");
    root.write(dir + "start", std::to_string(start) + "\n");
    root.write(dir + "size", std::to_string(size) + "\n");
    root.write(dir + "dev", std::string(dev) + "\n");
    root.write("run/udev/data/b" + std::string(dev), udev);
  }
};

std::string text(const WmiValue& v) {
  return std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : "";
}
std::int64_t number(const WmiValue& v) {
  return std::holds_alternative<std::int64_t>(v) ? std::get<std::int64_t>(v) : -1;
}
bool flag(const WmiValue& v) { return std::holds_alternative<bool>(v) && std::get<bool>(v); }

TEST(ExtendedClassesTest, PnPEntitiesArePciAndUsbDevicesNamedFromTheIdLists) {
  DeviceMachine m;
  const auto rows = m.rows("Win32_PnPEntity");
  ASSERT_EQ(rows.size(), 4u);
  // The host bridge: a known vendor, an unknown device, no driver.
  EXPECT_EQ(text(rows[0].at("DeviceID")), "PCI\\VEN_8086&DEV_0D57&SUBSYS_0D578086&REV_01\\0000:00:00.0");
  EXPECT_EQ(text(rows[0].at("Name")), "PCI device 8086:0d57");
  EXPECT_EQ(text(rows[0].at("Manufacturer")), "Intel Corporation");
  EXPECT_EQ(text(rows[0].at("PNPClass")), "System");
  EXPECT_FALSE(rows[0].count("Service"));
  EXPECT_EQ(text(rows[0].at("Status")), "Unknown");
  EXPECT_EQ(text(rows[1].at("Name")), "Virtio 1.0 network device");
  EXPECT_EQ(text(rows[1].at("Manufacturer")), "Red Hat, Inc.");
  EXPECT_EQ(text(rows[1].at("PNPClass")), "Net");
  EXPECT_EQ(text(rows[1].at("Service")), "virtio-pci");
  EXPECT_EQ(text(rows[1].at("Status")), "OK");
  // USB: the device's first interface tells its class and driver.
  EXPECT_EQ(text(rows[2].at("DeviceID")), "USB\\VID_046D&PID_C52B\\1-1");
  EXPECT_EQ(text(rows[2].at("Name")), "Unifying Receiver");
  EXPECT_EQ(text(rows[2].at("PNPClass")), "HIDClass");
  EXPECT_EQ(text(rows[2].at("Service")), "usbhid");
  EXPECT_EQ(text(rows[3].at("Name")), "2.0 root hub");
  EXPECT_EQ(text(rows[3].at("PNPClass")), "USB");

  // Without the id lists the names are the numeric ids and the device's own strings.
  std::filesystem::remove(m.root / "usr/share/misc/pci.ids");
  std::filesystem::remove(m.root / "usr/share/misc/usb.ids");
  const auto bare = m.rows("Win32_PnPEntity");
  EXPECT_EQ(text(bare[1].at("Name")), "PCI device 1af4:1041");
  EXPECT_EQ(text(bare[1].at("Manufacturer")), "1af4");
  EXPECT_EQ(text(bare[2].at("Name")), "USB Receiver");
  EXPECT_EQ(text(bare[3].at("Name")), "USB device 1d6b:0002");
}

TEST(ExtendedClassesTest, MonitorsComeFromValidEdidsOnly) {
  DeviceMachine m;
  const auto rows = m.rows("Win32_DesktopMonitor");
  ASSERT_EQ(rows.size(), 2u);  // the empty HDMI port has no monitor
  EXPECT_EQ(text(rows[0].at("Name")), "DELL U2415");
  EXPECT_EQ(text(rows[0].at("MonitorManufacturer")), "Dell");
  EXPECT_EQ(text(rows[0].at("SerialNumberID")), "CFV9N5A0BWXL");
  EXPECT_EQ(text(rows[0].at("PNPDeviceID")), "DISPLAY\\DELA0C1\\card0-DP-1");
  EXPECT_EQ(number(rows[0].at("YearOfManufacture")), 2016);
  EXPECT_EQ(number(rows[0].at("ScreenWidth")), 1600);  // the mode in use, not the preferred one
  EXPECT_EQ(number(rows[0].at("ScreenHeight")), 900);
  EXPECT_EQ(text(rows[1].at("Name")), "Generic PnP Monitor");
  EXPECT_EQ(text(rows[1].at("MonitorManufacturer")), "AU Optronics");
  EXPECT_EQ(number(rows[1].at("ScreenWidth")), 1920);
  EXPECT_FALSE(rows[1].count("WeekOfManufacture"));  // a model year has no week
}

TEST(ExtendedClassesTest, NetworkAdaptersWithSpeedStateAndKind) {
  DeviceMachine m;
  const auto rows = m.rows("Win32_NetworkAdapter");
  ASSERT_EQ(rows.size(), 3u);  // no loopback
  std::map<std::string, std::map<std::string, WmiValue>> by;
  for (const auto& r : rows) by[text(r.at("NetConnectionID"))] = r;
  const auto& eth0 = by.at("eth0");
  EXPECT_EQ(text(eth0.at("Name")), "Virtio 1.0 network device");
  EXPECT_EQ(text(eth0.at("Manufacturer")), "Red Hat, Inc.");
  EXPECT_EQ(text(eth0.at("Speed")), "1000000000");
  EXPECT_EQ(number(eth0.at("NetConnectionStatus")), 2);
  EXPECT_TRUE(flag(eth0.at("PhysicalAdapter")));
  EXPECT_EQ(text(eth0.at("AdapterType")), "Ethernet 802.3");
  EXPECT_EQ(text(eth0.at("ServiceName")), "virtio_net");
  EXPECT_EQ(text(eth0.at("MACAddress")), "52:54:00:AB:CD:02");
  EXPECT_EQ(text(eth0.at("PNPDeviceID")), "PCI\\VEN_1AF4&DEV_1041&SUBSYS_10411AF4&REV_01\\0000:00:03.0");
  EXPECT_EQ(text(eth0.at("Caption")), "[00000002] Virtio 1.0 network device");
  const auto& ifb0 = by.at("ifb0");
  EXPECT_FALSE(flag(ifb0.at("PhysicalAdapter")));
  EXPECT_EQ(number(ifb0.at("NetConnectionStatus")), 0);  // administratively down
  EXPECT_FALSE(ifb0.count("Speed"));
  const auto& wlan0 = by.at("wlan0");
  EXPECT_EQ(text(wlan0.at("AdapterType")), "Wireless");
  EXPECT_EQ(number(wlan0.at("NetConnectionStatus")), 7);  // up, but no carrier
}

TEST(ExtendedClassesTest, PartitionsWithTypeOffsetAndBootFlag) {
  DeviceMachine m;
  const auto rows = m.rows("Win32_DiskPartition");
  ASSERT_EQ(rows.size(), 4u);  // loop devices are no disks
  EXPECT_EQ(text(rows[0].at("DeviceID")), "/dev/sda1");
  EXPECT_EQ(text(rows[0].at("Name")), "Disk #0, Partition #0");
  EXPECT_EQ(text(rows[0].at("Type")), "GPT: System");
  EXPECT_TRUE(flag(rows[0].at("Bootable")));
  EXPECT_EQ(text(rows[0].at("StartingOffset")), "1048576");
  EXPECT_EQ(text(rows[0].at("Size")), "536870912");
  EXPECT_EQ(text(rows[1].at("Type")), "GPT: Linux filesystem");
  EXPECT_FALSE(flag(rows[1].at("Bootable")));
  EXPECT_EQ(number(rows[2].at("DiskIndex")), 1);
  EXPECT_EQ(text(rows[2].at("Type")), "Installable File System");
  EXPECT_TRUE(flag(rows[2].at("Bootable")));
  EXPECT_TRUE(flag(rows[2].at("PrimaryPartition")));
  EXPECT_EQ(text(rows[3].at("Name")), "Disk #1, Partition #4");
  EXPECT_FALSE(flag(rows[3].at("PrimaryPartition")));  // a logical partition

  // Without udev's database the partition is still listed, its type unknown.
  std::filesystem::remove_all(m.root / "run/udev");
  const auto bare = m.rows("Win32_DiskPartition");
  ASSERT_EQ(bare.size(), 4u);
  EXPECT_FALSE(bare[0].count("Type"));
  EXPECT_EQ(text(bare[0].at("Size")), "536870912");
}

TEST(ExtendedClassesTest, ComputerSystemWithVirtualizationAndContainer) {
  DeviceMachine m;
  const auto rows = m.rows("Win32_ComputerSystem");
  ASSERT_EQ(rows.size(), 1u);
  const auto& cs = rows[0];
  EXPECT_EQ(text(cs.at("Name")), "BUILDBOX");
  EXPECT_EQ(text(cs.at("Manufacturer")), "QEMU");
  EXPECT_EQ(text(cs.at("Model")), "Standard PC (Q35 + ICH9, 2009)");
  EXPECT_EQ(text(cs.at("TotalPhysicalMemory")), "2048000000");
  EXPECT_EQ(number(cs.at("NumberOfProcessors")), 1);
  EXPECT_EQ(number(cs.at("NumberOfLogicalProcessors")), 2);
  EXPECT_EQ(text(cs.at("Domain")), "corp.example");
  EXPECT_EQ(text(cs.at("Workgroup")), "OFFICE");
  EXPECT_FALSE(flag(cs.at("PartOfDomain")));
  EXPECT_TRUE(flag(cs.at("HypervisorPresent")));
  EXPECT_EQ(text(cs.at("VirtualizationType")), "docker");
  EXPECT_EQ(text(cs.at("VirtualMachineType")), "qemu");
  EXPECT_EQ(text(cs.at("ContainerType")), "docker");

  m.root.write("etc/samba/smb.conf", "[global]\nworkgroup = CORP\nsecurity = ads\nrealm = CORP.EXAMPLE\n");
  const auto member = m.rows("Win32_ComputerSystem")[0];
  EXPECT_TRUE(flag(member.at("PartOfDomain")));
  EXPECT_EQ(text(member.at("Domain")), "CORP.EXAMPLE");
  EXPECT_FALSE(member.count("Workgroup"));
}

TEST(ExtendedClassesTest, ProductsOutsideDpkgAreMarkedWithTheirSource) {
  DeviceMachine m;
  m.root.write("var/lib/dpkg/status",
               "Package: bash\nStatus: install ok installed\nVersion: 5.2-2\nArchitecture: amd64\n\n");
  const auto rows = m.rows("Win32_Product");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(text(rows[0].at("Name")), "bash");
  EXPECT_FALSE(rows[0].count("InstallSource"));  // dpkg's rows stay as they were
  std::map<std::string, std::map<std::string, WmiValue>> by;
  for (const auto& r : rows) by[text(r.at("Name"))] = r;
  EXPECT_EQ(text(by.at("kn-sample").at("InstallSource")), "rpm");
  EXPECT_EQ(text(by.at("kn-sample").at("Version")), "2:1.2.3-4");
  EXPECT_EQ(text(by.at("kn-sample").at("Vendor")), "Kestrane Test Vendor");
  EXPECT_EQ(text(by.at("kn-sample").at("InstallDate")).size(), 8u);
  EXPECT_EQ(text(by.at("kn-other").at("InstallSource")), "rpm");
  EXPECT_EQ(text(by.at("hello").at("InstallSource")), "snap");
  EXPECT_EQ(text(by.at("hello").at("Version")), "2.10");
  EXPECT_EQ(text(by.at("org.example.Editor").at("InstallSource")), "flatpak");
  EXPECT_EQ(text(by.at("org.example.Editor").at("Version")), "3.1");

  // The policy leaves them out.
  EXPECT_EQ(m.instancesOf("Win32_Product", false).size(), 1u);
}

TEST(ExtendedClassesTest, NothingOddInPlaceOfAFileIsRead) {
  DeviceMachine m;
  // A FIFO where an EDID should be, and an rpm database that is no database.
  std::filesystem::remove(m.root / "sys/class/drm/card0-DP-1/edid");
  ASSERT_EQ(::mkfifo((m.root / "sys/class/drm/card0-DP-1/edid").c_str(), 0600), 0);
  m.root.write("var/lib/rpm/rpmdb.sqlite", "not a database");
  EXPECT_EQ(m.rows("Win32_DesktopMonitor").size(), 1u);
  const auto software = devices::installedOtherSoftware({.root = m.root.path(), .addresses = nullptr});
  EXPECT_EQ(software.size(), 2u);  // the snap and the flatpak
}

// The output of a shell command.
std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

TEST(RpmDatabaseTest, ReadsTheDatabaseRpmWritesHere) {
  if (std::system("command -v rpm >/dev/null 2>&1 && command -v rpmbuild >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "rpm is not installed";
  TempRoot root;
  root.write("build/SPECS/kn-made.spec",
             "Name: kn-made\nVersion: 7.1\nRelease: 3\nEpoch: 1\nSummary: Made by the test\nLicense: MIT\n"
             "Vendor: Test Vendor\nBuildArch: noarch\n%description\nMade by the test.\n%files\n");
  const std::string dbpath = root / "var/lib/rpm";
  const std::string quiet = " >/dev/null 2>&1";
  ASSERT_EQ(std::system(("rpmbuild --define '_topdir " + (root / "build") + "' -bb '" +
                         (root / "build/SPECS/kn-made.spec") + "'" + quiet)
                            .c_str()),
            0);
  ASSERT_EQ(
      std::system(("mkdir -p '" + dbpath + "' && rpm --dbpath '" + dbpath + "' --initdb" + quiet).c_str()),
      0);
  ASSERT_EQ(std::system(("rpm --dbpath '" + dbpath + "' -i --justdb --nodeps --noscripts '" +
                         (root / "build") + "'/RPMS/noarch/kn-made-7.1-3.noarch.rpm" + quiet)
                            .c_str()),
            0);
  const std::string listed = commandOutput(
      "rpm --dbpath '" + dbpath + "' -qa --qf '%{NAME} %{EPOCH}:%{VERSION}-%{RELEASE}\\n' 2>/dev/null");
  const auto packages = devices::installedOtherSoftware({.root = root.path(), .addresses = nullptr});
  std::string ours;
  for (const devsrc::Package& p : packages)
    if (p.source == "rpm") ours += p.name + " " + p.version + "\n";
  EXPECT_EQ(ours, listed);
  EXPECT_EQ(ours, "kn-made 1:7.1-3\n");
}

// ---- The document and the policy -----------------------------------------------------------------

json auditWith(const DeviceMachine& m, bool extended) {
  TempRoot dir;
  const std::string classList = "Win32_Product\r\nWin32_PnPEntity\r\nWin32_DiskPartition";
  const std::string script =
      "local f = assert(io.open(outfilename, 'wb'))\n"
      "f:write('<system><sys><hostname>box</hostname></sys><software><package><software_name>bash</"
      "software_name></package></software></"
      "system>')\n"
      "f:close()\n";
  const std::map<std::string, std::string> resources = {{"WMIOBJ_META", classList},
                                                        {"ITAUDITDIC_META", base64Encode(script)}};
  WMIAuditorOptions options;
  options.connect = [&] {
    return createLinuxInstanceProvider(
        {.root = m.root.path(), .addresses = nullptr, .extendedInventory = extended});
  };
  options.findResource = [&](std::string_view name) -> std::string_view {
    return resources.at(std::string(name));
  };
  options.extendedInventory = extended;
  options.otherSoftware = [&] {
    return devices::installedOtherSoftware({.root = m.root.path(), .addresses = nullptr});
  };
  TWMIAuditor engine(dir / "audit.json", std::move(options));
  engine.execute();
  return engine.result().at(TWMIAuditor::metaKey);
}

TEST(ExtendedInventoryPolicyTest, TheDocumentCarriesTheExtendedInventoryUnlessThePolicySaysNo) {
  DeviceMachine m;
  const json full = auditWith(m, true);
  EXPECT_EQ(full.at("PnPEntityDetail").size(), 4u);
  EXPECT_EQ(full.at("DiskPartitionDetail").size(), 4u);
  const json& software = full.at("Software");
  ASSERT_EQ(software.size(), 5u);
  EXPECT_EQ(software[0].at("name"), "bash");
  EXPECT_FALSE(software[0].contains("install_source"));
  std::map<std::string, json> by;
  for (const json& s : software) by[s.at("name").get<std::string>()] = s;
  EXPECT_EQ(by.at("kn-sample").at("install_source"), "rpm");
  EXPECT_EQ(by.at("kn-sample").at("publisher"), "Kestrane Test Vendor");
  EXPECT_EQ(by.at("hello").at("install_source"), "snap");
  EXPECT_EQ(by.at("org.example.Editor").at("install_source"), "flatpak");
  for (const json& s : software)
    for (const auto& [key, value] : s.items()) EXPECT_TRUE(value.is_string()) << key;

  const json reduced = auditWith(m, false);
  EXPECT_FALSE(reduced.contains("PnPEntityDetail"));
  EXPECT_FALSE(reduced.contains("DiskPartitionDetail"));
  EXPECT_EQ(reduced.at("Software").size(), 1u);
  EXPECT_EQ(reduced.at("ProductDetail").size(), 0u);  // no dpkg database in this machine
}

TEST(ExtendedInventoryPolicyTest, OnlyADwordZeroTurnsItOff) {
  const std::string key = "Software\\Policies\\ZARODIRazev";
  struct Case {
    const char* what;
    std::function<void(TRegistry&)> set;
    bool extended;
  } cases[] = {
      {"no policy", [](TRegistry&) {}, true},
      {"dword 0", [&](TRegistry& r) { r.writeDword(RegRoot::LocalMachine, key, "ExtendedInventory", 0); },
       false},
      {"any case", [&](TRegistry& r) { r.writeDword(RegRoot::LocalMachine, key, "extendedinventory", 0); },
       false},
      {"dword 1", [&](TRegistry& r) { r.writeDword(RegRoot::LocalMachine, key, "ExtendedInventory", 1); },
       true},
      {"text \"0\"",
       [&](TRegistry& r) { r.writeString(RegRoot::LocalMachine, key, "ExtendedInventory", "0"); }, true},
      {"another application's",
       [&](TRegistry& r) {
         r.writeDword(RegRoot::LocalMachine, "Software\\Policies\\Other", "ExtendedInventory", 0);
       },
       true},
  };
  for (const Case& c : cases) {
    auto fake = std::make_shared<TRegistryFake>();
    TScopedRegistry use(fake);
    c.set(*fake);
    EXPECT_EQ(extendedInventoryPolicy("ZARODIRazev"), c.extended) << c.what;
  }
  EXPECT_TRUE(isExtendedInventoryClass("win32_pnpentity"));
  EXPECT_FALSE(isExtendedInventoryClass("Win32_Product"));
}

}  // namespace
}  // namespace kn
