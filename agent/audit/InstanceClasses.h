// The classes the instance provider lists, each declared once: its name, its properties with their
// CIM types and where the fact comes from (the class-by-class table of WMIMapping.md), and which fill
// function fills it. The table is the same on every system; each system's provider maps every
// ClassFill to a function of its own (InstanceProviderLinux.cpp), so a class added here without a
// fill function does not build.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "InstanceProvider.h"

namespace kn {

// The fill function of a class.
enum class ClassFill {
  Product,
  NetworkAdapterConfiguration,
  Battery,
  SystemEnclosure,
  PerfOSSystem,
  TimeZone,
  Bios,
  BaseBoard,
  CDROMDrive,
  VideoController,
  DiskDrive,
  LogicalDisk,
  LogicalDiskToPartition,
  Volume,
  Environment,
  UserAccount,
  Group,
  CodecFile,
  IP4RouteTable,
  NTEventLogFile,
  OperatingSystem,
  Process,
  ComputerSystemProduct,
  Processor,
  PhysicalMemory,
  Service,
  SCSIController,
  SoundDevice,
  Share,
  Printer,
  ComputerSystem,
  PnPEntity,
  DesktopMonitor,
  NetworkAdapter,
  DiskPartition,
};

struct PropertyDef {
  const char* name;
  int type;
  const char* source;  // where the fact comes from on Linux; WMIMapping.md says it class by class
  bool isArray = false;
};

// The most instances of a class that are listed. Most classes hold what an administrator made, but
// a user can start processes by the thousand and make files and mounts; no class then grows the
// audit without bound. A busy server runs a few thousand processes (this 2-core build machine about
// 110, at about 0.6 KB of document each); Debian's archive holds about 64,000 packages of an
// architecture, all of which fit the products' own bound.
inline constexpr size_t kMaxInstances = 10000;
inline constexpr size_t kMaxProducts = 100000;

struct ClassDef {
  const char* name;
  std::vector<PropertyDef> properties;
  ClassFill fill;
  size_t maxInstances = kMaxInstances;
};

// Every class, in the order of the shipped class list ("WMIOBJ_META"): the first 30, then the
// extended inventory's (InventoryPolicy.h).
const std::vector<ClassDef>& instanceClasses();

// The class of a name compared without regard to ASCII letter case, as WMI compares class names;
// nullptr for a class the table does not hold.
const ClassDef* findInstanceClass(std::string_view name);

}  // namespace kn
