// Pure readers of the device, virtualization and package facts behind the extended inventory classes.
//
// Like LinuxSources.h: each function turns the bytes of one kind of source (an EDID blob, the pci.ids
// and usb.ids name lists, the udev database, an rpm header, snap.yaml, a flatpak metadata file) into
// values and nothing else, so every rule is tested with literal text. Malformed input yields nothing
// or is skipped; every length read from the input is checked against the input's size.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kn::devsrc {

// ---- Monitors ------------------------------------------------------------------------------------

// The facts of an EDID base block (VESA E-EDID 1.3/1.4, the first 128 bytes).
struct Edid {
  std::string manufacturerId;  // three-letter PNP id: "DEL"
  unsigned productCode = 0;
  unsigned serialNumber = 0;  // the numeric serial of bytes 12-15; 0 when not given
  std::string name;           // display product name descriptor (0xFC)
  std::string serialText;     // display serial number descriptor (0xFF)
  int weekOfManufacture = 0;  // 0 unknown; 255 means the year is a model year
  int yearOfManufacture = 0;
  int widthCm = 0, heightCm = 0;
  int preferredWidth = 0, preferredHeight = 0;  // the first detailed timing, in pixels
  // The serial the monitor reports: the text descriptor, else the number, else "".
  std::string serial() const;
};
// nullopt unless `blob` holds at least 128 bytes with the EDID header and a valid checksum.
std::optional<Edid> parseEdid(std::string_view blob);
// The maker's name of a PNP manufacturer id of common monitor makers; the id itself when unknown.
std::string pnpManufacturerName(const std::string& id);

// ---- pci.ids and usb.ids -------------------------------------------------------------------------

struct IdNames {
  std::optional<std::string> vendor, device;
};
// The vendor and device names of the wanted (vendor, device) pairs, from the text of pci.ids or
// usb.ids (vendor lines "vvvv  Name", device lines "\tdddd  Name"), in one pass. Pairs not found
// are absent from the result; a vendor found without its device has only `vendor`.
std::map<std::pair<unsigned, unsigned>, IdNames> lookupIds(
    std::string_view text, const std::set<std::pair<unsigned, unsigned>>& wanted);
// Where each vendor's block lies in an ids file (pci.ids, usb.ids), found in one pass over its bytes
// fed in pieces of any size, so that the file is never held whole (pci.ids is over a megabyte and a
// machine has a handful of vendors). A vendor line is four hex digits and two blanks at the start of
// a line; its block runs to the next line that is neither empty, a comment nor indented, exactly
// the lines lookupIds() reads for it. The first line of a vendor id counts, as in lookupIds().
class IdsIndex {
 public:
  struct Block {
    std::uint64_t offset = 0;   // the vendor line's first byte
    std::uint64_t lineEnd = 0;  // the end of the vendor line, its '\n' excluded
    std::uint64_t end = 0;      // past the block's last line
  };
  void feed(std::string_view bytes);
  // Closes the last line and block; call once after the last feed().
  void finish();
  // The block of a vendor id, or nullptr when the file has no line for it.
  const Block* find(unsigned vendor) const;
  size_t size() const { return blocks_.size(); }

 private:
  void endLine(std::uint64_t end);

  std::map<unsigned, Block> blocks_;
  Block* open_ = nullptr;  // the block whose lines are being read
  std::uint64_t offset_ = 0, lineStart_ = 0;
  std::string head_;  // the first bytes of the line being read (at most six)
  bool inLine_ = false;
};

// Windows' device setup class of a PCI class code (0x020000 -> "Net"); nullopt when unknown.
std::optional<std::string> pciPnpClass(unsigned classCode);
// The same for a USB device or interface class (0x03 -> "HIDClass").
std::optional<std::string> usbPnpClass(unsigned usbClass);
// A hex text of sysfs ("0x8086", "8086") as a number; nullopt when not hex or above `max`.
std::optional<unsigned> parseHex(std::string_view text, unsigned max = 0xFFFFFFFFu);

// ---- Partitions ----------------------------------------------------------------------------------

// The "E:KEY=value" lines of a udev database file (/run/udev/data/b<major>:<minor>).
std::map<std::string, std::string> parseUdevProperties(std::string_view text);
// Windows' partition type text for a udev ID_PART_ENTRY_TYPE ("0x83", a GPT type GUID), e.g.
// "GPT: System", "Installable File System", "Linux"; "Unknown" for others.
std::string partitionTypeName(std::string_view scheme, std::string_view type);
// Whether the partition is the boot partition: the MBR active flag (0x80), or the EFI system partition.
bool partitionBootable(std::string_view scheme, std::string_view type, std::string_view flags);

// ---- Virtualization ------------------------------------------------------------------------------

// What the virtualization decision looks at; every member may be empty.
struct VirtFacts {
  std::vector<std::string> dmi;      // sys_vendor, board_vendor, product_name, bios_vendor, product_version
  std::string cpuidVendor;           // the hypervisor's CPUID signature (leaf 0x40000000), live system only
  bool hypervisorFlag = false;       // "hypervisor" among the flags of /proc/cpuinfo
  std::string sysHypervisorType;     // /sys/hypervisor/type
  bool xenControlDomain = false;     // /proc/xen/capabilities holds "control_d"
  std::string deviceTreeHypervisor;  // /proc/device-tree/hypervisor/compatible
  // Containers:
  std::string containerManagerFile;  // /run/host/container-manager, else /run/systemd/container
  std::string pid1Container;         // container= of /proc/1/environ
  bool containerEnv = false;         // /run/.containerenv (podman)
  bool dockerEnv = false;            // /.dockerenv
  bool openvz = false;               // /proc/vz without /proc/bc
  std::string osRelease;             // /proc/sys/kernel/osrelease (WSL names itself there)
};
// The identifiers systemd-detect-virt uses ("kvm", "vmware", "microsoft", "docker", ...); "" for none.
struct Virtualization {
  std::string vm, container;
  // What systemd-detect-virt prints without options: the container, else the machine, else "none".
  std::string kind() const;
};
Virtualization detectVirtualization(const VirtFacts& facts);
// The identifier of a hypervisor CPUID signature ("KVMKVMKVM" -> "kvm"); "" when unknown.
std::string vmOfCpuidVendor(std::string_view vendor);

// ---- Software outside dpkg -----------------------------------------------------------------------

// One installed package of rpm, snap or flatpak, in the shape of the software list.
struct Package {
  std::string source;  // "rpm", "snap", "flatpak"
  std::string name, version, publisher, summary, url, architecture;
  std::optional<std::int64_t> installTime;  // seconds since 1970
  // The local date of installTime as "yyyymmdd"; "" when unknown.
  std::string installDate() const;
};

// An rpm header blob as the rpm database stores it (index count, data length, index, data); nullopt
// when it is malformed. Version is "[epoch:]version-release".
std::optional<Package> parseRpmHeader(std::string_view blob);

// snap.yaml of a snap's meta folder: top-level "name", "version", "summary", "title".
std::optional<Package> parseSnapYaml(std::string_view text);

// A flatpak deploy's metadata file ("[Application] name=...") plus the id, branch and arch of its
// folder names; the version comes from the AppStream file when given ("" otherwise).
Package flatpakPackage(const std::string& id, const std::string& arch, const std::string& branch,
                       std::string_view appstreamXml);

}  // namespace kn::devsrc
