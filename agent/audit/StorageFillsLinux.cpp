// Fill functions of the storage classes: disks of /sys/block, the mounted file systems of /proc/mounts
// as logical disks and volumes, with statvfs (InstanceProviderLinux.h).
#include <cstdio>
#include <cstdlib>
#include <set>

#include "InstanceProviderLinux.h"
#include "LinuxSources.h"

namespace kn::linuxfill {
namespace {

using namespace linuxsrc;

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

}  // namespace

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

}  // namespace kn::linuxfill
