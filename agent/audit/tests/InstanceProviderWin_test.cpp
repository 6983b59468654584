// The WMI instance provider against the system's own WMI (Wine's wbemprox in the build), alone and
// under the audit engine with the shipped class list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "InstanceProviderWin.h"
#include "KNLib.h"
#include "KNResources.h"
#include "KNWinTestSupport.h"
#include "TempRoot.h"
#include "WMIAuditor.h"

namespace kn {
namespace {

using nlohmann::json;

// ---- Values and errors --------------------------------------------------------------------------

VARIANT integer(VARTYPE vt, long long n) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = vt;
  switch (vt) {
    case VT_UI1:
      V_UI1(&v) = static_cast<BYTE>(n);
      break;
    case VT_I2:
      V_I2(&v) = static_cast<SHORT>(n);
      break;
    default:
      V_I4(&v) = static_cast<LONG>(n);
  }
  return v;
}

// A SAFEARRAY variant of `vt` elements: BSTRs of `texts`, or VT_I4 of their numbers.
VARIANT array(VARTYPE vt, const std::vector<std::wstring>& texts) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_ARRAY | vt;
  V_ARRAY(&v) = ::SafeArrayCreateVector(vt, 0, static_cast<ULONG>(texts.size()));
  for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
    if (vt == VT_BSTR) {
      BSTR b = ::SysAllocString(texts[i].c_str());
      ::SafeArrayPutElement(V_ARRAY(&v), &i, b);
      ::SysFreeString(b);
    } else {
      LONG n = std::stol(texts[i]);
      ::SafeArrayPutElement(V_ARRAY(&v), &i, &n);
    }
  }
  return v;
}

VARIANT text(const wchar_t* s) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = ::SysAllocString(s);
  return v;
}

// WMI's variants read back at the width of their CIM types: unsigned values that WMI hands over in
// a wider signed type never come out negative; 64-bit integers stay text.
TEST(WmiValues, ReadAtTheWidthOfTheirCimType) {
  VARIANT null, empty, yes;
  ::VariantInit(&null);
  ::VariantInit(&empty);
  ::VariantInit(&yes);
  V_VT(&null) = VT_NULL;
  V_VT(&yes) = VT_BOOL;
  V_BOOL(&yes) = VARIANT_TRUE;
  struct Case {
    const char* what;
    VARIANT value;
    CIMTYPE type;
    WmiValue expected;
  };
  Case cases[] = {
      {"uint32 past 2^31 as VT_I4", integer(VT_I4, -1), CIM_UINT32, std::int64_t{4294967295}},
      {"uint32 2^31 as VT_I4", integer(VT_I4, INT32_MIN), CIM_UINT32, std::int64_t{2147483648}},
      {"uint16 as VT_I4", integer(VT_I4, 65535), CIM_UINT16, std::int64_t{65535}},
      {"sint32 stays signed", integer(VT_I4, -1), CIM_SINT32, std::int64_t{-1}},
      {"sint16 as VT_I2", integer(VT_I2, -5), CIM_SINT16, std::int64_t{-5}},
      {"uint8 as VT_UI1", integer(VT_UI1, 255), CIM_UINT8, std::int64_t{255}},
      {"char16 as VT_I2", integer(VT_I2, -1), CIM_CHAR16, std::int64_t{65535}},
      {"uint64 past the signed range", text(L"18446744073709551615"), CIM_UINT64,
       std::string("18446744073709551615")},
      {"datetime", text(L"20240115103005.000000+060"), CIM_DATETIME,
       std::string("20240115103005.000000+060")},
      {"string as UTF-8", text(L"Jo\u00e3o \u4e2d"), CIM_STRING, std::string("Jo\u00e3o \u4e2d")},
      {"boolean", yes, CIM_BOOLEAN, true},
      {"null", null, CIM_STRING, std::monostate()},
      {"empty", empty, CIM_UINT32, std::monostate()},
      {"string array", array(VT_BSTR, {L"10.0.2.15", L"fe80::1"}), CIM_STRING | CIM_FLAG_ARRAY,
       std::vector<std::string>{"10.0.2.15", "fe80::1"}},
      {"uint32 array as VT_I4", array(VT_I4, {L"-1", L"7"}), CIM_UINT32 | CIM_FLAG_ARRAY,
       std::vector<std::string>{"4294967295", "7"}},
  };
  for (Case& c : cases) {
    EXPECT_EQ(wmi::valueOf(c.value, c.type), c.expected) << c.what;
    ::VariantClear(&c.value);
  }
}

TEST(WmiErrors, TextAndCode) {
  const std::pair<HRESULT, std::string> cases[] = {
      {WBEM_E_INVALID_CLASS, "Invalid class (0x80041010)"},
      {WBEM_E_ACCESS_DENIED, "Access denied (0x80041003)"},
      {WBEM_E_INVALID_NAMESPACE, "Invalid namespace (0x8004100E)"},
      {static_cast<HRESULT>(0x80041FFF), "WMI error (0x80041FFF)"},  // a WBEM code without a text
  };
  for (const auto& [code, expected] : cases) EXPECT_EQ(wmi::errorText(code), expected);
  // Other codes take the system's text, where it has one.
  EXPECT_TRUE(wmi::errorText(E_OUTOFMEMORY).ends_with(" (0x8007000E)")) << wmi::errorText(E_OUTOFMEMORY);
}

// ---- The provider -------------------------------------------------------------------------------

const WmiProperty* find(const WmiObject& object, const std::string& name) {
  for (const WmiProperty& p : object)
    if (p.name == name) return &p;
  return nullptr;
}

const std::string& textOf(const WmiProperty* p) {
  static const std::string none = "(absent)";
  if (!p || !std::holds_alternative<std::string>(p->value)) return none;
  return std::get<std::string>(p->value);
}

// What the engine's conversion keeps of an instance: its non-null scalars of the dumped CIM types.
std::vector<std::string> convertedNames(const WmiObject& object) {
  std::vector<std::string> names;
  for (const WmiProperty& p : object) {
    if (p.isArray || std::holds_alternative<std::monostate>(p.value)) continue;
    if (p.cimType == kCimSint16 || p.cimType == kCimUint8 || p.cimType == kCimUint16 ||
        p.cimType == kCimUint32 || p.cimType == kCimUint64 || p.cimType == kCimString ||
        p.cimType == kCimDateTime || p.cimType == kCimBoolean)
      names.push_back(p.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> keysOf(const json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// An engine on the real provider, for its class dump alone.
struct Dump {
  TWMIAuditor engine{"unused"};
  const json& classArray(const std::string& cls) {
    engine.testWMI(cls);
    return engine.result().at(TWMIAuditor::metaKey).at(TWMIAuditor::memberName(cls));
  }
};

TEST(WmiProvider, TheOperatingSystemAsWmiGivesItAndAsTheDumpConvertsIt) {
  auto provider = createInstanceProvider();
  const auto instances = provider->instancesOf("win32_operatingsystem");  // WMI ignores letter case
  ASSERT_EQ(instances.size(), 1u);
  const WmiObject& os = instances[0];
  for (const WmiProperty& p : os) {
    EXPECT_FALSE(p.name.starts_with("__")) << p.name;  // no system properties
    EXPECT_FALSE(p.origin.empty()) << p.name;
  }
  const WmiProperty* caption = find(os, "Caption");
  const WmiProperty* boot = find(os, "LastBootUpTime");
  const WmiProperty* memory = find(os, "TotalVisibleMemorySize");
  const WmiProperty* primary = find(os, "Primary");
  ASSERT_TRUE(caption && boot && memory && primary);
  EXPECT_EQ(caption->cimType, kCimString);
  EXPECT_FALSE(textOf(caption).empty());
  EXPECT_EQ(boot->cimType, kCimDateTime);
  EXPECT_TRUE(std::regex_match(textOf(boot), std::regex(R"(\d{14}\.\d{6}[+-]\d{3})"))) << textOf(boot);
  EXPECT_EQ(memory->cimType, kCimUint64);
  EXPECT_TRUE(std::regex_match(textOf(memory), std::regex(R"([1-9]\d*)"))) << textOf(memory);
  EXPECT_EQ(primary->cimType, kCimBoolean);
  EXPECT_EQ(primary->value, WmiValue(true));

  Dump dump;
  const json& array = dump.classArray("Win32_OperatingSystem");
  ASSERT_EQ(array.size(), 1u);
  const json& object = array[0];
  EXPECT_EQ(object["Caption"], textOf(caption));
  EXPECT_EQ(object["LastBootUpTime"], textOf(boot));                        // the WMI text unchanged
  EXPECT_EQ(object["TotalVisibleMemorySize"], std::stoll(textOf(memory)));  // uint64: a number
  EXPECT_EQ(object["Primary"], true);
  EXPECT_TRUE(object["OSType"].is_number_integer());  // uint16
  EXPECT_EQ(keysOf(object), convertedNames(os));
}

// References give nothing; arrays and nulls are left out, not written as null.
TEST(WmiProvider, ReferencesArraysAndNullsAreLeftOut) {
  auto provider = createInstanceProvider();
  Dump dump;

  const auto links = provider->instancesOf("Win32_LogicalDiskToPartition");
  ASSERT_FALSE(links.empty());
  const WmiProperty* antecedent = find(links[0], "Antecedent");
  ASSERT_TRUE(antecedent);
  EXPECT_EQ(antecedent->cimType, kCimReference);
  EXPECT_NE(textOf(antecedent).find("Win32_DiskPartition"), std::string::npos) << textOf(antecedent);
  EXPECT_EQ(dump.classArray("Win32_LogicalDiskToPartition"),
            json(std::vector<json>(links.size(), json::object())));

  const auto configs = provider->instancesOf("Win32_NetworkAdapterConfiguration");
  const json& array = dump.classArray("Win32_NetworkAdapterConfiguration");
  ASSERT_EQ(array.size(), configs.size());
  bool listed = false, null = false;
  for (size_t i = 0; i < configs.size(); ++i) {
    for (const WmiProperty& p : configs[i]) {
      if (p.isArray && std::holds_alternative<std::vector<std::string>>(p.value)) listed = true;
      if (std::holds_alternative<std::monostate>(p.value)) null = true;
      if (p.isArray || std::holds_alternative<std::monostate>(p.value)) {
        EXPECT_FALSE(array[i].contains(p.name)) << p.name;
      }
    }
    EXPECT_EQ(keysOf(array[i]), convertedNames(configs[i]));
    EXPECT_FALSE(array[i].contains("IPAddress"));
  }
  EXPECT_TRUE(listed) << "no adapter configuration with a listed array";
  EXPECT_TRUE(null) << "no adapter configuration with a null property";
}

TEST(WmiProvider, AFailedQueryEndsTheClassWithWmisError) {
  Dump dump;
  // An empty class name, as an empty line of the class list asks it: WMI refuses the query.
  const json& array = dump.classArray("");
  ASSERT_EQ(array.size(), 1u);
  EXPECT_TRUE(std::regex_match(array[0].get<std::string>(),
                               std::regex(R"(EWMIError: [A-Z][a-z ]+ \(0x8004[0-9A-F]{4}\))")))
      << array[0];
}

// A class WMI does not know: its definition is not found (Windows' listing would say "Invalid
// class"; Wine's would list nothing), and the class's array is the error alone.
TEST(WmiProvider, AClassWmiDoesNotKnowEndsWithTheError) {
  Dump dump;
  const json& array = dump.classArray("Win32_NoSuchClass");
  ASSERT_EQ(array.size(), 1u) << array;
  EXPECT_TRUE(std::regex_match(array[0].get<std::string>(),
                               std::regex(R"(EWMIError: (Not found \(0x80041002\)|Invalid class \(0x80041010\)))")))
      << array[0];
}

// Which classes a machine has no instances of is the machine's. Wine's WMI finds no definition of
// a class it lists no instances of (its CD drives, printers), so only Windows shows this.
TEST(WmiProviderWindowsOnly, AClassWithoutInstancesGivesAnEmptyArray) {
  if (test::runningUnderWine())
    GTEST_SKIP() << "Wine's WMI does not find the definition of a class it has no instances of";
  Dump dump;
  EXPECT_EQ(dump.classArray("Win32_CDROMDrive"), json::array());
}

// The extended inventory's classes are WMI's own: the computer system is the operating system's.
TEST(WmiProvider, TheExtendedClassesComeFromWmi) {
  auto provider = createInstanceProvider();
  const auto os = provider->instancesOf("Win32_OperatingSystem");
  ASSERT_EQ(os.size(), 1u);
  const auto system = provider->instancesOf("Win32_ComputerSystem");
  ASSERT_EQ(system.size(), 1u);
  EXPECT_EQ(textOf(find(system[0], "Name")), textOf(find(os[0], "CSName")));
  for (const char* cls :
       {"Win32_PnPEntity", "Win32_DesktopMonitor", "Win32_NetworkAdapter", "Win32_DiskPartition"})
    EXPECT_FALSE(provider->instancesOf(cls).empty()) << cls;
}

// A class with more instances than its bound lists the first of them and tells one line, on the
// thread that asked; a class within it tells nothing.
TEST(WmiProvider, ABoundedClassListsItsFirstInstancesAndSaysSo) {
  std::vector<std::pair<std::string, std::thread::id>> notices;
  auto provider = wmi::createBoundedProvider(
      {.notice = [&](const std::string& line) { notices.emplace_back(line, std::this_thread::get_id()); }},
      2);
  const auto all = createInstanceProvider()->instancesOf("Win32_Process");
  ASSERT_GT(all.size(), 2u);
  std::thread::id asker;
  const auto listed = std::async(std::launch::async, [&] {
                        asker = std::this_thread::get_id();
                        return provider->instancesOf("win32_process");
                      }).get();
  ASSERT_EQ(listed.size(), 2u);
  // The first in WMI's order (a long-lived process: the others may come and go meanwhile).
  EXPECT_EQ(textOf(find(listed[0], "Handle")), textOf(find(all[0], "Handle")));
  EXPECT_NE(textOf(find(listed[1], "Handle")), textOf(find(listed[0], "Handle")));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].first, "Win32_Process: more than 2 instances; the first 2 are listed");
  EXPECT_EQ(notices[0].second, asker);
  EXPECT_EQ(provider->instancesOf("Win32_Bios").size(), 1u);
  EXPECT_EQ(notices.size(), 1u);
}

APTTYPE apartmentType() {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) ? type : APTTYPE_CURRENT;
}

// Made on one thread and asked from others, as the engine does: a thread in a single-threaded
// apartment keeps it, a thread without COM is left without, and a second provider works after the
// first has gone.
TEST(WmiProvider, AskedFromAnyThreadLeavingTheirComAsItWas) {
  for (int round = 0; round < 2; ++round) {
    auto provider = createInstanceProvider();
    const size_t processes = provider->instancesOf("Win32_Process").size();
    EXPECT_GT(processes, 0u);

    std::thread([&] {
      ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
      EXPECT_EQ(provider->instancesOf("Win32_OperatingSystem").size(), 1u);
      const APTTYPE type = apartmentType();  // the first such thread's is the main one
      EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
      ::CoUninitialize();
    }).join();
    std::async(std::launch::async, [&] {
      EXPECT_EQ(provider->instancesOf("Win32_Bios").size(), 1u);
      EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // nobody had initialised it
      ::CoUninitialize();
    }).get();
  }
}

// ---- The dump through the engine ----------------------------------------------------------------

// Writes the smallest result that describes a machine, in place of the inventory script.
class ResultWritingControl : public ScriptControl {
 public:
  explicit ResultWritingControl(std::string resultFile) : resultFile_(std::move(resultFile)) {}
  void setAllowUI(bool) override {}
  void setTimeout(long) override {}
  void setLanguage(const std::string&) override {}
  void setErrorHandler(std::function<void()>) override {}
  void addCode(const std::string&) override {
    test::writeBytes(resultFile_, "<system><sys><hostname>box</hostname></sys></system>");
  }
  std::optional<int> errorLine() override { return std::nullopt; }
  void release() override {}

 private:
  std::string resultFile_;
};

json runAudit(bool extended, std::vector<std::string>& notices) {
  test::TempRoot dir;
  const std::string outfn = dir / "latest_audit.json";
  WMIAuditorOptions options;
  options.scriptControl = [outfn] { return std::make_unique<ResultWritingControl>(outfn + ".xml"); };
  options.extendedInventory = extended;
  options.notice = [&notices](const std::string& line) { notices.push_back(line); };
  TWMIAuditor auditor(outfn, std::move(options));
  auditor.execute();
  return auditor.result().at(TWMIAuditor::metaKey);
}

std::vector<std::string> classMembers(const json& audit) {
  std::vector<std::string> names;
  for (const auto& [name, value] : audit.items())
    if (name.ends_with("Detail") && name != "SoftwareKeysDetail") names.push_back(name);
  return names;
}

// The shipped class list through the real engine: a member per class, named as the platform
// expects, each an array of instance objects (no class fails); the extended inventory adds five.
TEST(WmiAudit, TheShippedClassListDumpedByTheEngine) {
  std::vector<std::string> thirty = {"BaseBoardDetail",
                                     "BatteryDetail",
                                     "BiosDetail",
                                     "CDROMDriveDetail",
                                     "CodecFileDetail",
                                     "ComputerSystemProductDetail",
                                     "DiskDriveDetail",
                                     "EnvironmentDetail",
                                     "GroupDetail",
                                     "IP4RouteTableDetail",
                                     "LogicalDiskDetail",
                                     "LogicalDiskToPartitionDetail",
                                     "NetworkAdapterConfigurationDetail",
                                     "NTEventLogFileDetail",
                                     "OperatingSystemDetail",
                                     "PerfFormattedData_PerfOS_SystemDetail",
                                     "PhysicalMemoryDetail",
                                     "PrinterDetail",
                                     "ProcessDetail",
                                     "ProcessorDetail",
                                     "ProductDetail",
                                     "SCSIControllerDetail",
                                     "ServiceDetail",
                                     "ShareDetail",
                                     "SoundDeviceDetail",
                                     "SystemEnclosureDetail",
                                     "TimeZoneDetail",
                                     "UserAccountDetail",
                                     "VideoControllerDetail",
                                     "VolumeDetail"};
  std::sort(thirty.begin(), thirty.end());
  std::vector<std::string> notices;

  const json audit = runAudit(false, notices);
  EXPECT_EQ(classMembers(audit), thirty);
  // Objects, and for a class this machine's WMI does not know (Wine's lacks twelve), the error last.
  for (const std::string& name : thirty) {
    const json& items = audit.at(name);
    for (size_t i = 0; i < items.size(); ++i) {
      const bool notFound = i + 1 == items.size() && items[i].is_string() &&
                            items[i].get<std::string>() == "EWMIError: Not found (0x80041002)";
      EXPECT_TRUE(items[i].is_object() || notFound) << name << ": " << items[i];
    }
  }
  for (const char* member : {"OperatingSystemDetail", "ProcessDetail", "ServiceDetail", "BiosDetail"})
    EXPECT_FALSE(audit.at(member).empty()) << member;

  const auto started = std::chrono::steady_clock::now();
  const json extended = runAudit(true, notices);
  const auto took = std::chrono::steady_clock::now() - started;
  std::vector<std::string> all = thirty;
  for (const char* member : {"ComputerSystemDetail", "PnPEntityDetail", "DesktopMonitorDetail",
                             "NetworkAdapterDetail", "DiskPartitionDetail"}) {
    all.push_back(member);
    ASSERT_TRUE(extended.contains(member)) << member;
    EXPECT_FALSE(extended[member].empty()) << member;
    for (const json& item : extended[member]) EXPECT_TRUE(item.is_object()) << member << ": " << item;
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(classMembers(extended), all);
  EXPECT_EQ(notices, std::vector<std::string>());  // no class near its bound here
  RecordProperty("audit_ms_35_classes",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
}  // namespace kn
