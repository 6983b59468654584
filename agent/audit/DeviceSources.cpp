#include "DeviceSources.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "KNLib.h"
#include "LinuxSources.h"

namespace kn::devsrc {
namespace {

std::string trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

unsigned byteAt(std::string_view data, size_t i) { return static_cast<unsigned char>(data[i]); }

std::uint32_t bigEndian32(std::string_view data, size_t at) {
  return byteAt(data, at) << 24 | byteAt(data, at + 1) << 16 | byteAt(data, at + 2) << 8 |
         byteAt(data, at + 3);
}

using linuxsrc::forEachLine;

}  // namespace

// ---- Monitors ------------------------------------------------------------------------------------

std::string Edid::serial() const {
  if (!serialText.empty()) return serialText;
  return serialNumber ? std::to_string(serialNumber) : std::string();
}

std::optional<Edid> parseEdid(std::string_view blob) {
  static constexpr unsigned char kHeader[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  if (blob.size() < 128 || std::memcmp(blob.data(), kHeader, 8) != 0) return std::nullopt;
  unsigned sum = 0;
  for (size_t i = 0; i < 128; ++i) sum += byteAt(blob, i);
  if (sum % 256 != 0) return std::nullopt;

  Edid e;
  // Three letters of five bits each, 1 = 'A', big-endian in bytes 8-9.
  const unsigned id = byteAt(blob, 8) << 8 | byteAt(blob, 9);
  for (int shift : {10, 5, 0}) {
    const unsigned letter = (id >> shift) & 0x1F;
    if (letter < 1 || letter > 26) return std::nullopt;
    e.manufacturerId += static_cast<char>('A' + letter - 1);
  }
  e.productCode = byteAt(blob, 10) | byteAt(blob, 11) << 8;
  e.serialNumber = byteAt(blob, 12) | byteAt(blob, 13) << 8 | byteAt(blob, 14) << 16 | byteAt(blob, 15) << 24;
  e.weekOfManufacture = static_cast<int>(byteAt(blob, 16));
  e.yearOfManufacture = 1990 + static_cast<int>(byteAt(blob, 17));
  e.widthCm = static_cast<int>(byteAt(blob, 21));
  e.heightCm = static_cast<int>(byteAt(blob, 22));

  // Four 18-byte descriptors from byte 54: a detailed timing (pixel clock not 0) or a display
  // descriptor (0, 0, 0, tag); text descriptors hold up to 13 characters ending at a line feed.
  for (size_t at = 54; at + 18 <= 126; at += 18) {
    const std::string_view d = blob.substr(at, 18);
    if (byteAt(d, 0) || byteAt(d, 1)) {
      if (!e.preferredWidth) {
        e.preferredWidth = static_cast<int>(byteAt(d, 2) | (byteAt(d, 4) & 0xF0) << 4);
        e.preferredHeight = static_cast<int>(byteAt(d, 5) | (byteAt(d, 7) & 0xF0) << 4);
      }
      continue;
    }
    const unsigned tag = byteAt(d, 3);
    if (tag != 0xFC && tag != 0xFF) continue;
    std::string text(d.substr(5, 13));
    text = text.substr(0, text.find('\n'));
    for (char& c : text)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = ' ';
    (tag == 0xFC ? e.name : e.serialText) = trimmed(text);
  }
  return e;
}

std::string pnpManufacturerName(const std::string& id) {
  static const std::map<std::string, std::string> kMakers = {
      {"ACI", "Asus"},
      {"ACR", "Acer"},
      {"AOC", "AOC"},
      {"APP", "Apple"},
      {"AUO", "AU Optronics"},
      {"AUS", "Asus"},
      {"BNQ", "BenQ"},
      {"BOE", "BOE"},
      {"CMN", "Chimei Innolux"},
      {"DEL", "Dell"},
      {"EIZ", "EIZO"},
      {"ENC", "EIZO"},
      {"FUS", "Fujitsu Siemens"},
      {"GSM", "LG Electronics"},
      {"HSD", "HannStar"},
      {"HWP", "HP"},
      {"IVM", "Iiyama"},
      {"LEN", "Lenovo"},
      {"LGD", "LG Display"},
      {"MEI", "Panasonic"},
      {"MSI", "MSI"},
      {"NEC", "NEC"},
      {"PHL", "Philips"},
      {"QEM", "QEMU"},
      {"RHT", "Red Hat"},
      {"SAM", "Samsung"},
      {"SDC", "Samsung Display"},
      {"SEC", "Seiko Epson"},
      {"SHP", "Sharp"},
      {"SNY", "Sony"},
      {"TSB", "Toshiba"},
      {"VSC", "ViewSonic"},
  };
  const auto it = kMakers.find(id);
  return it == kMakers.end() ? id : it->second;
}

// ---- pci.ids and usb.ids -------------------------------------------------------------------------

std::optional<unsigned> parseHex(std::string_view text, unsigned max) {
  text = std::string_view(text).substr(0, text.find_last_not_of(" \t\r\n") + 1);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 8) return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  if (value > max) return std::nullopt;
  return static_cast<unsigned>(value);
}

std::map<std::pair<unsigned, unsigned>, IdNames> lookupIds(
    std::string_view text, const std::set<std::pair<unsigned, unsigned>>& wanted) {
  // The lists are large (pci.ids is over a megabyte) and a machine has few vendors: each wanted
  // vendor's line is found by a search for "\n<vvvv>  ", and only its block is read line by line.
  std::map<std::pair<unsigned, unsigned>, IdNames> found;
  std::set<unsigned> vendors;
  for (const auto& w : wanted) vendors.insert(w.first);
  for (const unsigned vendor : vendors) {
    char key[16];
    std::snprintf(key, sizeof key, "\n%04x  ", vendor & 0xFFFF);
    size_t pos = 0;
    if (text.substr(0, 6) != std::string_view(key + 1, 6)) {
      const size_t at = text.find(key);
      if (at == std::string_view::npos) continue;
      pos = at + 1;
    }
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string name = trimmed(text.substr(pos + 4, end - pos - 4));
    for (const auto& w : wanted)
      if (w.first == vendor) found[w].vendor = name;
    // Device lines "\tdddd  Name" follow until the next line that starts with neither a tab nor "#";
    // "\t\t" lines are subsystems of the device above.
    for (pos = end + 1; pos < text.size(); pos = end + 1) {
      end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty() || line[0] == '#') continue;
      if (line[0] != '\t') break;
      if (line.size() < 7 || line[1] == '\t' || line[5] != ' ') continue;
      const auto device = parseHex(line.substr(1, 4), 0xFFFF);
      if (device && wanted.count({vendor, *device}))
        found[{vendor, *device}].device = trimmed(line.substr(5));
    }
  }
  return found;
}

void IdsIndex::feed(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (!inLine_) {
      inLine_ = true;
      lineStart_ = offset_ + pos;
      head_.clear();
    }
    const size_t newline = bytes.find('\n', pos);
    const size_t end = newline == std::string_view::npos ? bytes.size() : newline;
    if (head_.size() < 6) head_.append(bytes.substr(pos, std::min(end - pos, 6 - head_.size())));
    if (newline == std::string_view::npos) break;
    endLine(offset_ + newline);
    pos = newline + 1;
  }
  offset_ += bytes.size();
}

void IdsIndex::finish() {
  if (inLine_) endLine(offset_);
  if (open_) open_->end = offset_;
  open_ = nullptr;
}

void IdsIndex::endLine(std::uint64_t end) {
  inLine_ = false;
  const std::uint64_t length = end - lineStart_;
  // Empty lines (a lone CR too), comments and indented lines belong to the block above.
  if (length == 0 || (length == 1 && head_[0] == '\r') || head_[0] == '#' || head_[0] == '\t') return;
  if (open_) open_->end = lineStart_;
  open_ = nullptr;
  if (head_.size() < 6 || head_[4] != ' ' || head_[5] != ' ') return;
  const auto id = parseHex(std::string_view(head_).substr(0, 4), 0xFFFF);
  if (!id || !std::all_of(head_.begin(), head_.begin() + 4,
                          [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return;
  const auto [it, added] = blocks_.try_emplace(*id, Block{lineStart_, end, end});
  if (added) open_ = &it->second;
}

const IdsIndex::Block* IdsIndex::find(unsigned vendor) const {
  const auto it = blocks_.find(vendor);
  return it == blocks_.end() ? nullptr : &it->second;
}

std::optional<std::string> pciPnpClass(unsigned classCode) {
  const unsigned base = classCode >> 16, sub = (classCode >> 8) & 0xFF;
  switch (base) {
    case 0x01:
      return sub == 0x01 || sub == 0x06 ? "HDC" : "SCSIAdapter";
    case 0x02:
      return "Net";
    case 0x03:
      return "Display";
    case 0x04:
      return "MEDIA";
    case 0x05:
    case 0x06:
    case 0x08:
      return "System";
    case 0x07:
      return "Ports";
    case 0x09:
      return "HIDClass";
    case 0x0C:
      return sub == 0x03 ? "USB" : sub == 0x00 ? "1394" : "System";
    case 0x0D:
      return sub == 0x11 ? "Bluetooth" : "Net";
    case 0x10:
      return "SecurityDevices";
    default:
      return std::nullopt;
  }
}

std::optional<std::string> usbPnpClass(unsigned usbClass) {
  switch (usbClass) {
    case 0x01:
      return "MEDIA";
    case 0x02:
    case 0x0A:
      return "Net";
    case 0x03:
      return "HIDClass";
    case 0x06:
      return "Image";
    case 0x07:
      return "Printer";
    case 0x08:
    case 0x09:
      return "USB";
    case 0x0B:
      return "SmartCardReader";
    case 0x0E:
      return "Camera";
    case 0xE0:
      return "Bluetooth";
    default:
      return std::nullopt;
  }
}

// ---- Partitions ----------------------------------------------------------------------------------

std::map<std::string, std::string> parseUdevProperties(std::string_view text) {
  std::map<std::string, std::string> out;
  forEachLine(text, [&](std::string_view line) {
    if (line.substr(0, 2) != "E:") return;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return;
    out.emplace(std::string(line.substr(2, eq - 2)), std::string(line.substr(eq + 1)));
  });
  return out;
}

std::string partitionTypeName(std::string_view scheme, std::string_view type) {
  if (scheme == "gpt") {
    static const std::map<std::string, std::string> kGpt = {
        {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", "GPT: System"},
        {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", "GPT: Basic Data"},
        {"e3c9e316-0b5c-4db8-817d-f92df00215ae", "GPT: Reserved"},
        {"de94bba4-06d1-4d40-a16a-bfd50179d6ac", "GPT: Recovery"},
        {"21686148-6449-6e6f-744e-656564454649", "GPT: BIOS boot"},
        {"0fc63daf-8483-4772-8e79-3d69d8477de4", "GPT: Linux filesystem"},
        {"4f68bce3-e8cd-4db1-96e7-fbcaf984b709", "GPT: Linux root (x86-64)"},
        {"b921b045-1df0-41c3-af44-4c6f280d3fae", "GPT: Linux root (ARM64)"},
        {"0657fd6d-a4ab-43c4-84e5-0933c84b4f4f", "GPT: Linux swap"},
        {"e6d6d379-f507-44c2-a23c-238f2a3df928", "GPT: Linux LVM"},
        {"a19d880f-05fc-4d3b-a006-743f0f84911e", "GPT: Linux RAID"},
        {"bc13c2ff-59e6-4262-a352-b275fd6f7172", "GPT: Linux extended boot"},
        {"933ac7e1-2eb4-4f13-b844-0e14e2aef915", "GPT: Linux home"},
    };
    const auto it = kGpt.find(lowerAscii(type));
    return it == kGpt.end() ? "GPT: Unknown" : it->second;
  }
  if (scheme == "dos") {
    static const std::map<unsigned, std::string> kMbr = {
        {0x01, "12-bit FAT"},
        {0x04, "16-bit FAT"},
        {0x05, "Extended Partition"},
        {0x06, "Large FAT16"},
        {0x07, "Installable File System"},
        {0x0B, "Win95 FAT32"},
        {0x0C, "Win95 FAT32"},
        {0x0E, "Large FAT16"},
        {0x0F, "Extended w/Extended Int 13"},
        {0x82, "Linux swap"},
        {0x83, "Linux"},
        {0x85, "Linux extended"},
        {0x8E, "Linux LVM"},
        {0xEE, "GPT: Protective"},
        {0xEF, "EFI System"},
        {0xFD, "Linux RAID"},
    };
    const auto code = parseHex(type, 0xFF);
    const auto it = code ? kMbr.find(*code) : kMbr.end();
    return it == kMbr.end() ? "Unknown" : it->second;
  }
  return "Unknown";
}

bool partitionBootable(std::string_view scheme, std::string_view type, std::string_view flags) {
  if (scheme == "gpt") return lowerAscii(type) == "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
  if (scheme == "dos") {
    const auto f = parseHex(flags);
    return f && (*f & 0x80);
  }
  return false;
}

// ---- Virtualization ------------------------------------------------------------------------------

std::string Virtualization::kind() const {
  return !container.empty() ? container : !vm.empty() ? vm : "none";
}

std::string vmOfCpuidVendor(std::string_view vendor) {
  static const std::pair<const char*, const char*> kVendors[] = {
      {"XenVMMXenVMM", "xen"},   {"KVMKVMKVM", "kvm"},       {"Linux KVM Hv", "kvm"},
      {"TCGTCGTCGTCG", "qemu"},  {"VMwareVMware", "vmware"}, {"Microsoft Hv", "microsoft"},
      {"bhyve bhyve ", "bhyve"}, {"QNXQVMBSQG", "qnx"},      {"ACRNACRNACRN", "acrn"},
      {"SRESRESRESRE", "sre"},   {"Apple VZ", "apple"},      {"VBoxVBoxVBox", "oracle"},
  };
  const std::string v = std::string(vendor.substr(0, vendor.find('\0')));
  for (const auto& [signature, id] : kVendors)
    if (v == signature || (std::strlen(signature) < 12 && v.starts_with(signature))) return id;
  return "";
}

namespace {

// The machine of a DMI text, as systemd-detect-virt names them; "" when none matches.
std::string vmOfDmi(const std::string& text) {
  static const std::pair<const char*, const char*> kDmi[] = {
      {"KVM", "kvm"},
      {"OpenStack", "kvm"},
      {"KubeVirt", "kvm"},
      {"Amazon EC2", "amazon"},
      {"QEMU", "qemu"},
      {"VMware", "vmware"},
      {"VMW", "vmware"},
      {"innotek GmbH", "oracle"},
      {"VirtualBox", "oracle"},
      {"Oracle Corporation", "oracle"},
      {"Xen", "xen"},
      {"Bochs", "bochs"},
      {"Parallels", "parallels"},
      {"BHYVE", "bhyve"},
      {"Hyper-V", "microsoft"},
      {"Apple Virtualization", "apple"},
      {"Google Compute Engine", "google"},
      {"Firecracker", "firecracker"},
  };
  for (const auto& [prefix, id] : kDmi)
    if (text.starts_with(prefix)) return id;
  return "";
}

}  // namespace

Virtualization detectVirtualization(const VirtFacts& f) {
  Virtualization v;

  // Containers, in the order of their markers' reliability.
  const std::string os = lowerAscii(f.osRelease);
  if (f.openvz) {
    v.container = "openvz";
  } else if (contains(os, "microsoft") || contains(os, "wsl")) {
    v.container = "wsl";
  } else {
    std::string manager = trimmed(f.containerManagerFile);
    if (manager.empty()) manager = trimmed(f.pid1Container);
    if (!manager.empty()) {
      v.container = manager == "oci" ? "docker" : manager;  // "oci" is what runc-based managers say
    } else if (f.containerEnv) {
      v.container = "podman";
    } else if (f.dockerEnv) {
      v.container = "docker";
    }
  }
  // Only a short identifier reaches the document.
  if (v.container.size() > 32 || !std::all_of(v.container.begin(), v.container.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
      }))
    v.container = "container-other";

  // Virtual machines: the firmware's names of the most specific makers, then the hypervisor's
  // own signature, then any DMI name, the device tree, Xen's sysfs, and at last the bare CPU flag.
  std::string dmi;
  for (const std::string& text : f.dmi)
    if (dmi.empty()) dmi = vmOfDmi(trimmed(text));
  // Hyper-V identifies itself in DMI by its maker and model together.
  if (dmi.empty()) {
    bool microsoft = false, virtualMachine = false;
    for (const std::string& text : f.dmi) {
      microsoft |= trimmed(text) == "Microsoft Corporation";
      virtualMachine |= trimmed(text) == "Virtual Machine";
    }
    if (microsoft && virtualMachine) dmi = "microsoft";
  }
  const std::string cpuid = vmOfCpuidVendor(f.cpuidVendor);
  const std::string hypervisorType = trimmed(f.sysHypervisorType);
  if (dmi == "oracle" || dmi == "xen" || dmi == "amazon" || dmi == "firecracker") {
    v.vm = dmi;
  } else if (!cpuid.empty()) {
    v.vm = cpuid;
  } else if (!dmi.empty()) {
    v.vm = dmi;
  } else if (contains(f.deviceTreeHypervisor, "linux,kvm")) {
    v.vm = "kvm";
  } else if (contains(f.deviceTreeHypervisor, "xen")) {
    v.vm = "xen";
  } else if (hypervisorType == "xen" && !f.xenControlDomain) {
    v.vm = "xen";
  } else if (f.hypervisorFlag) {
    v.vm = "vm-other";
  }
  // A Xen control domain runs the machines; it is none of them.
  if (v.vm == "xen" && f.xenControlDomain) v.vm.clear();
  return v;
}

// ---- Software outside dpkg -----------------------------------------------------------------------

std::string Package::installDate() const {
  if (!installTime) return "";
  try {
    const DateTimeParts local = decodeDateTimeParts(toDateTime(static_cast<std::time_t>(*installTime)));
    return zeroPad(local.year, 4) + zeroPad(local.month, 2) + zeroPad(local.day, 2);
  } catch (const EConvertError&) {
    return "";  // beyond what the calendar holds
  }
}

std::optional<Package> parseRpmHeader(std::string_view blob) {
  // The index holds at most this many entries and the data store at most this many bytes, as rpm
  // itself limits its headers.
  constexpr std::uint32_t kMaxEntries = 0xFFFF;
  constexpr std::uint32_t kMaxData = 256u << 20;
  if (blob.size() < 8) return std::nullopt;
  const std::uint32_t entries = bigEndian32(blob, 0), dataLength = bigEndian32(blob, 4);
  if (entries == 0 || entries > kMaxEntries || dataLength > kMaxData) return std::nullopt;
  const size_t dataStart = 8 + size_t{entries} * 16;
  if (dataStart + dataLength > blob.size()) return std::nullopt;
  const std::string_view data = blob.substr(dataStart, dataLength);

  enum : std::uint32_t { kInt32 = 4, kString = 6, kStringArray = 8, kI18nString = 9 };
  std::map<std::uint32_t, std::string> strings;
  std::map<std::uint32_t, std::int64_t> numbers;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const size_t at = 8 + size_t{i} * 16;
    const std::uint32_t tag = bigEndian32(blob, at), type = bigEndian32(blob, at + 4);
    const std::uint32_t offset = bigEndian32(blob, at + 8), count = bigEndian32(blob, at + 12);
    if (offset >= data.size() || count == 0) continue;
    if (type == kString || type == kI18nString || type == kStringArray) {
      // The first string; it must end inside the data store.
      const size_t end = data.find('\0', offset);
      if (end == std::string_view::npos) continue;
      strings.emplace(tag, std::string(data.substr(offset, end - offset)));
    } else if (type == kInt32 && offset % 4 == 0 && offset + 4 <= data.size()) {
      numbers.emplace(tag, static_cast<std::int32_t>(bigEndian32(data, offset)));
    }
  }
  const auto text = [&](std::uint32_t tag) {
    const auto it = strings.find(tag);
    return it == strings.end() ? std::string() : it->second;
  };
  enum : std::uint32_t {
    kName = 1000,
    kVersion = 1001,
    kRelease = 1002,
    kEpoch = 1003,
    kSummary = 1004,
    kInstallTime = 1008,
    kVendor = 1011,
    kUrl = 1020,
    kArch = 1022,
  };
  Package p;
  p.source = "rpm";
  p.name = text(kName);
  if (p.name.empty()) return std::nullopt;
  p.version = text(kVersion);
  if (!text(kRelease).empty()) p.version += "-" + text(kRelease);
  if (const auto epoch = numbers.find(kEpoch); epoch != numbers.end())
    p.version = std::to_string(epoch->second) + ":" + p.version;
  p.summary = text(kSummary);
  p.publisher = text(kVendor);
  p.url = text(kUrl);
  p.architecture = text(kArch);
  if (const auto t = numbers.find(kInstallTime); t != numbers.end() && t->second > 0)
    p.installTime = static_cast<std::uint32_t>(t->second);
  return p;
}

std::optional<Package> parseSnapYaml(std::string_view text) {
  Package p;
  p.source = "snap";
  std::string title;
  forEachLine(text, [&](std::string_view line) {
    // Top-level scalar keys only: a nested or list line starts with a blank or "-".
    if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '-' || line[0] == '#') return;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string key(line.substr(0, colon));
    std::string value = trimmed(line.substr(colon + 1));
    if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (key == "name") p.name = value;
    if (key == "version") p.version = value;
    if (key == "summary") p.summary = value;
    if (key == "title") title = value;
  });
  if (p.name.empty()) return std::nullopt;
  if (p.summary.empty()) p.summary = title;
  return p;
}

namespace {

// The text of the first element `name` without an xml:lang attribute; entities of XML undone.
std::string firstElementText(std::string_view xml, const std::string& name, std::string_view attribute = {}) {
  size_t pos = 0;
  while ((pos = xml.find("<" + name, pos)) != std::string_view::npos) {
    const size_t close = xml.find('>', pos);
    if (close == std::string_view::npos) return "";
    const std::string_view tag = xml.substr(pos, close - pos);
    const char after = tag.size() > name.size() + 1 ? tag[name.size() + 1] : ' ';
    pos = close + 1;
    if (after != ' ' && after != '>' && after != '\t' && after != '\n') continue;  // a longer name
    if (contains(tag, "xml:lang") || (!attribute.empty() && !contains(tag, attribute))) continue;
    if (tag.ends_with("/")) continue;
    const size_t end = xml.find("</" + name, pos);
    if (end == std::string_view::npos) return "";
    std::string text = trimmed(xml.substr(pos, end - pos));
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, ch] : kEntities)
      for (size_t at; (at = text.find(entity)) != std::string::npos;)
        text.replace(at, std::strlen(entity), ch);
    return text;
  }
  return "";
}

// The value of `attribute` of the first element `name`.
std::string firstAttribute(std::string_view xml, const std::string& name, const std::string& attribute) {
  const size_t pos = xml.find("<" + name + " ");
  if (pos == std::string_view::npos) return "";
  const size_t close = xml.find('>', pos);
  const std::string_view tag = xml.substr(pos, close == std::string_view::npos ? 0 : close - pos);
  const size_t at = tag.find(" " + attribute + "=");
  if (at == std::string_view::npos || at + attribute.size() + 3 > tag.size()) return "";
  const char quote = tag[at + attribute.size() + 2];
  const size_t start = at + attribute.size() + 3, end = tag.find(quote, start);
  return end == std::string_view::npos ? "" : std::string(tag.substr(start, end - start));
}

}  // namespace

Package flatpakPackage(const std::string& id, const std::string& arch, const std::string& branch,
                       std::string_view appstreamXml) {
  Package p;
  p.source = "flatpak";
  p.name = id;
  p.architecture = arch;
  p.version = firstAttribute(appstreamXml, "release", "version");
  if (p.version.empty()) p.version = branch;
  p.summary = firstElementText(appstreamXml, "summary");
  p.publisher = firstElementText(appstreamXml, "developer_name");
  if (p.publisher.empty()) {
    const size_t developer = appstreamXml.find("<developer");
    if (developer != std::string_view::npos)
      p.publisher = firstElementText(appstreamXml.substr(developer), "name");
  }
  p.url = firstElementText(appstreamXml, "url", "homepage");
  return p;
}

}  // namespace kn::devsrc
