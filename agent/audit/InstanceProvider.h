// The instance provider: the machine's management objects, class by class, in the shape WMI gives them.
//
// The audit engine dumps a fixed list of classes (the "WMIOBJ_META" class list) into the audit
// document. It reads them through this small interface, so that the dump and its conversion rules
// can be exercised without any particular source of objects. Every class is declared once, apart
// from the code that fills it (InstanceClasses.h); on Linux the provider answers every class of the
// shipped list from /proc, /sys, /etc, statvfs, getifaddrs, the routing table, the package database
// and systemd's unit files (InstanceProviderLinux.h); on Windows the provider is WMI itself
// (InstanceProviderWin.cpp); tests use a fake.
//
// A provider belongs to the engine that connected it and is used by one thread at a time, which need
// not be the thread that made it (the engine reads the classes on a thread of its own).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "KNException.h"

namespace kn {

// A class the provider does not know, or a class it cannot read.
KN_DECLARE_EXCEPTION(EWMIError, Exception);

// The CIM type codes of WMI properties.
enum CimType : int {
  kCimSint16 = 2,
  kCimSint32 = 3,
  kCimReal32 = 4,
  kCimReal64 = 5,
  kCimString = 8,
  kCimBoolean = 11,
  kCimObject = 13,
  kCimSint8 = 16,
  kCimUint8 = 17,
  kCimUint16 = 18,
  kCimUint32 = 19,
  kCimSint64 = 20,
  kCimUint64 = 21,
  kCimDateTime = 101,
  kCimReference = 102,
  kCimChar16 = 103,
};

// A property's value as WMI delivers it: null, a boolean, an integer, a text (strings, dates, 64-bit
// integers as decimal text, references) or a list of texts (an array property).
using WmiValue = std::variant<std::monostate, bool, std::int64_t, std::string, std::vector<std::string>>;

struct WmiProperty {
  std::string name;
  std::string origin;  // the class that declares the property
  WmiValue value;
  int cimType = kCimString;
  bool isArray = false;
};

// One instance: its properties in the provider's order.
using WmiObject = std::vector<WmiProperty>;

class InstanceProvider {
 public:
  virtual ~InstanceProvider() = default;

  // Every instance of `className` (compared without regard to letter case), read in full before
  // the call returns. A known class without instances on this machine gives an empty list; a class
  // the provider does not know throws EWMIError; other failures throw any kn::Exception.
  virtual std::vector<WmiObject> instancesOf(const std::string& className) = 0;
};

// What every provider is told by the engine that connects it.
struct InstanceProviderOptions {
  // False leaves out the classes after the first 30 of the class list and the software outside
  // the system's own package database (the "ExtendedInventory" policy).
  bool extendedInventory = true;
  // Told one line for the agent's log when a class had more instances than it lists (its bound);
  // called on the thread that asked for the class.
  std::function<void(const std::string& line)> notice{};
};

// The root below which the audit reads the machine's facts: KN_AUDIT_ROOT without a trailing "/",
// "" for the running system (unset or "/"). KN_SYSROOT, the agent's own files, does not move it.
std::string auditMachineRoot();

// The running system's provider. On Linux it never fails to connect: every source is read when its
// class is asked for. On Windows it connects to WMI's ROOT\CIMV2 here and throws EWMIError when it
// cannot.
std::unique_ptr<InstanceProvider> createInstanceProvider(InstanceProviderOptions options = {});

// The class names the provider knows, in the order of the shipped class list (InstanceClasses.h).
std::vector<std::string> knownInstanceClasses();

}  // namespace kn
