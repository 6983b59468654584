// Fill functions of the classes read from /sys and the firmware's DMI tables: firmware, boards,
// batteries, optical drives, video, sound, SCSI hosts and memory modules (InstanceProviderLinux.h).
#include <cstdio>

#include "InstanceProviderLinux.h"
#include "LinuxSources.h"

namespace kn::linuxfill {

using namespace linuxsrc;

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

void fillCodecFile(const Machine&, Instances&) {
  // Linux keeps no registry of installed media codecs: no instances.
}

}  // namespace kn::linuxfill
