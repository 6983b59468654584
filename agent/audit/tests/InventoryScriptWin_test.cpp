// The embedded VBScript inventory run through the real script host on this machine (under Wine on
// Linux): its result file against the grammar, against what WMI says, against uninstall entries and
// product keys that the tests write into the real registry, and imported by the audit engine.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <windows.h>
#include <wbemidl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AuditScript.h"
#include "InstanceProvider.h"
#include "KNBase64.h"
#include "KNLib.h"
#include "KNPath.h"
#include "KNTextCodec.h"
#include "KNWinText.h"
#include "ScriptControl.h"
#include "ScriptHost.h"
#include "TempRoot.h"
#include "WMIAuditor.h"

namespace kn {
namespace {

using nlohmann::json;
using test::readBytes;
using test::TempRoot;

const std::string kScriptPath = std::string(KN_AUDIT_RESOURCES) + "/inventory.vbs";
const wchar_t* const kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t* const kUninstall32 = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// Runs the prepared inventory script, as the agent runs it, writing `resultFile`; returns the
// seconds it took.
double runInventory(const std::string& resultFile) {
  const std::string code = prepareAuditScript(base64Encode(readBytes(kScriptPath)) + "\r\n", resultFile);
  const ULONGLONG start = GetTickCount64();
  executeScript(code, resultFile, [](const std::string&) {});
  return static_cast<double>(GetTickCount64() - start) / 1000;
}

// ---- The registry and WMI ----------------------------------------------------------------------

// A key of HKLM (64-bit view) that the test makes and fills; it removes what it made, from the
// first key of the path that did not exist before.
class TestKey {
 public:
  explicit TestKey(std::wstring path) {
    for (size_t at = 0; at != std::wstring::npos && made_.empty();) {
      at = path.find(L'\\', at + 1);
      const std::wstring prefix = path.substr(0, at);
      HKEY probe;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &probe) == ERROR_SUCCESS)
        RegCloseKey(probe);
      else
        made_ = prefix;
    }
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  ~TestKey() {
    RegCloseKey(key_);
    if (!made_.empty()) RegDeleteTreeW(HKEY_LOCAL_MACHINE, made_.c_str());
  }
  TestKey(const TestKey&) = delete;
  TestKey& operator=(const TestKey&) = delete;

  TestKey& text(const wchar_t* name, const std::string& utf8) {
    const std::wstring value = win::wide(utf8);
    RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    return *this;
  }
  TestKey& number(const wchar_t* name, DWORD value) {
    RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    return *this;
  }
  TestKey& binary(const wchar_t* name, const std::string& bytes) {
    RegSetValueExW(key_, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
    return *this;
  }

 private:
  HKEY key_ = nullptr;
  std::wstring made_;  // the first key of the path the test made ("" when the whole path was there)
};

// A product key as a digital product id holds it: the 25 characters (without dashes) as a number of
// base 24, 15 bytes least significant first, at `offset` of a `size`-byte id. A key with the letter N
// is in the later layout: its first digit is the position of the N, and bit 3 of the last byte is set.
std::string productId(std::string key, size_t offset, size_t size) {
  static const std::string kAlphabet = "BCDFGHJKMPQRTVWXY2346789";
  std::vector<unsigned> digits;
  const size_t n = key.find('N');
  if (n != std::string::npos) {
    key.erase(n, 1);
    digits.push_back(static_cast<unsigned>(n));
  }
  for (char c : key) digits.push_back(static_cast<unsigned>(kAlphabet.find(c)));
  std::array<unsigned, 15> number{};
  for (unsigned digit : digits) {
    unsigned carry = digit;
    for (unsigned& byte : number) {
      const unsigned v = byte * 24 + carry;
      byte = v & 0xFF;
      carry = v >> 8;
    }
  }
  if (n != std::string::npos) number[14] |= 0x08;
  std::string id(size, '\0');
  for (size_t i = 0; i < 15; ++i) id[offset + i] = static_cast<char>(number[i]);
  return id;
}

std::string grouped(const std::string& key) {
  return key.substr(0, 5) + "-" + key.substr(5, 5) + "-" + key.substr(10, 5) + "-" + key.substr(15, 5) + "-" +
         key.substr(20, 5);
}

// The first instance's value of `property` of `className` as WMI gives it, as text ("" for null).
std::string wmiValue(const wchar_t* className, const wchar_t* property) {
  const bool uninit = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  std::string out;
  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  IEnumWbemClassObject* items = nullptr;
  IWbemClassObject* item = nullptr;
  ULONG got = 0;
  BSTR root = SysAllocString(L"ROOT\\CIMV2"), wql = SysAllocString(L"WQL");
  BSTR query = SysAllocString((std::wstring(L"SELECT * FROM ") + className).c_str());
  if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                 reinterpret_cast<void**>(&locator))) &&
      SUCCEEDED(locator->ConnectServer(root, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services)) &&
      SUCCEEDED(services->ExecQuery(wql, query, WBEM_FLAG_FORWARD_ONLY, nullptr, &items)) &&
      items->Next(WBEM_INFINITE, 1, &item, &got) == WBEM_S_NO_ERROR && got == 1) {
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(item->Get(property, 0, &value, nullptr, nullptr)) && value.vt != VT_NULL &&
        SUCCEEDED(VariantChangeType(&value, &value, VARIANT_ALPHABOOL, VT_BSTR)))
      out = win::narrow(value.bstrVal);
    VariantClear(&value);
  }
  if (item) item->Release();
  if (items) items->Release();
  if (services) services->Release();
  if (locator) locator->Release();
  SysFreeString(root);
  SysFreeString(wql);
  SysFreeString(query);
  if (uninit) CoUninitialize();
  return out;
}

// ---- One run for all tests ---------------------------------------------------------------------

const std::string kOfficeOldKey = "BCDFGHJKMPQRTVWXY23467892";   // Office 2003, the first layout
const std::string kOfficeLaterKey = "MK2PHT9N4DGRBQW7XJ64YV8C3";  // Office 2013, with its N
const std::string kSqlKey = "QRTVWXY2346789BCDFGHJKMPQ";

class InventoryScriptWin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new std::vector<std::unique_ptr<TestKey>>;
    const auto add = [](std::wstring path) -> TestKey& {
      return *keys_->emplace_back(std::make_unique<TestKey>(std::move(path)));
    };
    const std::wstring native = kUninstall, wow = kUninstall32;
    add(native + L"\\KnTest64")
        .text(L"DisplayName", "Kn R&D <Tools>\xC2\xAE x64")
        .text(L"DisplayVersion", "  2.5.1  ")
        .text(L"Publisher", "M\xC3\xBCller & Fr\xC3\xA8res \xE2\x82\xAC")
        .text(L"InstallDate", "20240115")
        .text(L"InstallLocation", "C:\\Program Files\\Kn Tools")
        .text(L"InstallSource", "D:\\setup")
        .text(L"URLInfoAbout", "https://example.invalid/kn?a=1&b=2")
        .number(L"SystemComponent", 1);
    add(native + L"\\KnTestNoName").text(L"DisplayVersion", "9.9").text(L"Publisher", "Nameless");
    add(native + L"\\KnTestEmptyName").text(L"DisplayName", "");
    add(wow + L"\\KnTest32").text(L"DisplayName", "Kn Legacy (32-bit)").text(L"DisplayVersion", "1.0");
    add(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\LogonUI")
        .text(L"LastLoggedOnUser", ".\\Kn.Tester");
    add(L"SOFTWARE\\Wow6432Node\\Microsoft\\Office\\11.0\\Registration\\{90110409-6000-11D3-8CFE-0150048383C9}")
        .binary(L"DigitalProductId", productId(kOfficeOldKey, 52, 164));
    add(L"SOFTWARE\\Microsoft\\Office\\15.0\\Registration\\{90150000-0011-0000-0000-0000000FF1CE}")
        .binary(L"DigitalProductId", productId(kOfficeLaterKey, 808, 1272));
    add(L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\90\\ProductID")
        .binary(L"DigitalProductID77591", productId(kSqlKey, 52, 164));
    add(L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\MSSQL.1\\Setup").text(L"Edition", "Express Edition");
    add(L"SOFTWARE\\Adobe\\Adobe Acrobat\\6.0\\Registration").text(L"SERIAL", "1118-1234-5678-9012-3456-7890");

    dir_ = new TempRoot;
    file_ = new std::string(*dir_ / "latest_audit.json.xml");
    std::replace(file_->begin(), file_->end(), '/', '\\');
    seconds_ = runInventory(*file_);
    bytes_ = new std::string(std::filesystem::exists(fsPath(*file_)) ? readBytes(*file_) : std::string());
    text_ = new std::string(bytes_->starts_with("\xFF\xFE") ? decodeText(*bytes_) : *bytes_);
    if (text_->starts_with("\xEF\xBB\xBF")) text_->erase(0, 3);
    doc_ = new tinyxml2::XMLDocument;
    doc_->Parse(text_->data(), text_->size());
  }
  static void TearDownTestSuite() {
    delete keys_;  // the registry as it was
    delete doc_;
    delete text_;
    delete bytes_;
    delete file_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_FALSE(bytes_->empty()) << "no result file " << *file_;
    ASSERT_FALSE(doc_->Error()) << doc_->ErrorStr();
  }

  static const tinyxml2::XMLElement* section(const char* name) { return doc_->RootElement()->FirstChildElement(name); }
  static std::string field(const tinyxml2::XMLElement* e, const char* name) {
    const tinyxml2::XMLElement* leaf = e ? e->FirstChildElement(name) : nullptr;
    return leaf && leaf->GetText() ? leaf->GetText() : "";
  }
  // The packages of `software`, each with the sub-list comment it follows.
  struct Package {
    std::string list;
    const tinyxml2::XMLElement* element;
  };
  static std::vector<Package> packages() {
    std::vector<Package> out;
    std::string list = "components";
    for (const tinyxml2::XMLNode* n = section("software")->FirstChild(); n; n = n->NextSibling()) {
      if (n->ToComment()) list = n->Value();
      if (n->ToElement()) out.push_back({list, n->ToElement()});
    }
    return out;
  }
  static std::vector<Package> packagesNamed(const std::string& name) {
    std::vector<Package> out;
    for (const Package& p : packages())
      if (field(p.element, "software_name") == name) out.push_back(p);
    return out;
  }

  static inline std::vector<std::unique_ptr<TestKey>>* keys_;
  static inline TempRoot* dir_;
  static inline std::string *file_, *bytes_, *text_;
  static inline tinyxml2::XMLDocument* doc_;
  static inline double seconds_;
};

std::vector<std::string> childNames(const tinyxml2::XMLElement* e) {
  std::vector<std::string> names;
  for (const tinyxml2::XMLElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement()) names.push_back(c->Name());
  return names;
}

std::vector<std::string> split(const std::string& words) {
  std::vector<std::string> out;
  for (size_t at = 0; at < words.size();) {
    const size_t end = std::min(words.find(' ', at), words.size());
    out.push_back(words.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

TEST(InventoryScriptText, IsWindows1252WithCrLfAndNeedsNoHostObject) {
  const std::string script = readBytes(kScriptPath);
  EXPECT_EQ(script.find("\n"), script.find("\r\n") + 1);
  for (size_t at = 0; (at = script.find('\n', at)) != std::string::npos; ++at) ASSERT_EQ(script[at - 1], '\r') << at;
  EXPECT_TRUE(script.starts_with("start_time = Timer\r\n"));
  // The script host has no WScript object: the only name of that kind is the shell's ProgID.
  std::string lower = lowerAscii(script);
  for (size_t at = 0; (at = lower.find("wscript", at)) != std::string::npos; ++at)
    EXPECT_TRUE(lower.compare(at, 13, "wscript.shell") == 0) << script.substr(at, 40);
}

TEST_F(InventoryScriptWin, TheResultFollowsTheGrammar) {
  std::cout << "the inventory ran " << seconds_ << " s\n";
  // UTF-8 through ADODB.Stream, or UTF-16LE through the file system object; both with their mark.
  EXPECT_TRUE(bytes_->starts_with("\xEF\xBB\xBF") || bytes_->starts_with("\xFF\xFE"));
  EXPECT_TRUE(text_->starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>\r\n"));
  EXPECT_TRUE(text_->ends_with("\r\n</system>"));
  // Every line ends in CR LF, and is indented by tabs.
  for (size_t at = 0; (at = text_->find('\n', at)) != std::string::npos; ++at) {
    ASSERT_EQ((*text_)[at - 1], '\r') << at;
    ASSERT_NE((*text_)[at + 1], ' ') << text_->substr(at, 60);
  }

  std::vector<std::string> sections = childNames(doc_->RootElement());
  EXPECT_EQ(sections, split("sys windows users software software_keys"));
  EXPECT_EQ(childNames(section("sys")),
            split("timestamp uuid hostname domain description type icon os_group os_family os_name os_version "
                  "serial model manufacturer uptime form_factor pc_os_bit pc_memory pc_num_processor "
                  "pc_date_os_installation man_org_id"));
  EXPECT_EQ(childNames(section("windows")),
            split("windows_build_number windows_user_name windows_client_site_name windows_domain_short "
                  "windows_domain_controller_address windows_domain_controller_name windows_domain_role "
                  "windows_part_of_domain windows_id_number windows_time_caption windows_time_daylight "
                  "windows_boot_device windows_country_code windows_organisation windows_language "
                  "windows_registered_user windows_service_pack windows_version windows_install_directory "
                  "windows_active_directory_ou"));
  const auto user = split("user_name user_caption user_sid user_domain user_disabled user_full_name "
                          "user_password_changeable user_password_expires user_password_required user_status user_type");
  for (const tinyxml2::XMLElement* u = section("users")->FirstChildElement(); u; u = u->NextSiblingElement())
    EXPECT_EQ(childNames(u), user);
  const auto common = split("software_name software_version software_location software_uninstall "
                            "software_install_date software_publisher software_install_source "
                            "software_system_component software_url software_email software_comment "
                            "software_code_base software_status");
  auto installed = common;
  installed.push_back("software_installed_by");
  installed.push_back("software_installed_on");
  for (const Package& p : packages())
    EXPECT_EQ(childNames(p.element), p.list == "components" ? common : installed) << field(p.element, "software_name");
  for (const tinyxml2::XMLElement* k = section("software_keys")->FirstChildElement(); k; k = k->NextSiblingElement())
    EXPECT_EQ(childNames(k), split("key_name key_text key_release key_edition"));

  // The sub-list comments, in order; the registry has a Wow6432Node key and the test made its
  // uninstall key, so every one is there.
  std::vector<std::string> comments;
  for (const tinyxml2::XMLNode* n = section("software")->FirstChild(); n; n = n->NextSibling())
    if (n->ToComment()) comments.push_back(n->Value());
  EXPECT_EQ(comments, (std::vector<std::string>{" start of normal software ", " end of normal ", " start of 64 #1 ",
                                                " end of 64 #1 ", " start of 64 #2 ", " end of 64 #2 ",
                                                " end of 64 #3 "}));
}

TEST_F(InventoryScriptWin, MachineFactsAreWhatWmiSays) {
  const auto* sys = section("sys");
  const auto* windows = section("windows");
  std::string caption = wmiValue(L"Win32_OperatingSystem", L"Caption");
  for (size_t at; (at = caption.find("(R)")) != std::string::npos;) caption.erase(at, 3);
  const std::string installed = wmiValue(L"Win32_OperatingSystem", L"InstallDate");
  std::string name = wmiValue(L"Win32_OperatingSystem", L"Name");
  name = name.substr(name.find('|') + 1);
  name = name.substr(0, name.find('|'));
  const std::string hostname = lowerAscii(wmiValue(L"Win32_ComputerSystem", L"Name"));
  const struct {
    const tinyxml2::XMLElement* section;
    const char* field;
    std::string expected;
  } cases[] = {
      {sys, "uuid", wmiValue(L"Win32_ComputerSystemProduct", L"UUID")},
      {sys, "hostname", hostname},  // no adapter has a DNS host name under Wine
      {sys, "domain", lowerAscii(wmiValue(L"Win32_ComputerSystem", L"Domain"))},
      {sys, "type", "computer"},
      {sys, "os_group", "Windows"},
      {sys, "os_name", caption},
      {sys, "os_version", wmiValue(L"Win32_OperatingSystem", L"Version")},
      {sys, "serial", wmiValue(L"Win32_ComputerSystemProduct", L"IdentifyingNumber")},
      {sys, "model", wmiValue(L"Win32_ComputerSystem", L"Model")},
      {sys, "manufacturer", wmiValue(L"Win32_ComputerSystemProduct", L"Vendor")},
      {sys, "pc_os_bit", wmiValue(L"Win32_Processor", L"AddressWidth")},
      {sys, "pc_num_processor", wmiValue(L"Win32_ComputerSystem", L"NumberOfLogicalProcessors")},
      {sys, "pc_date_os_installation", installed.substr(0, 4) + "-" + installed.substr(4, 2) + "-" + installed.substr(6, 2)},
      {windows, "windows_build_number", wmiValue(L"Win32_OperatingSystem", L"BuildNumber")},
      {windows, "windows_user_name", "kn.tester@" + hostname},  // ".\Kn.Tester" of LogonUI
      {windows, "windows_domain_short", "workgroup"},
      {windows, "windows_domain_role", "Standalone Workstation"},
      {windows, "windows_id_number", wmiValue(L"Win32_ComputerSystemProduct", L"IdentifyingNumber")},
      {windows, "windows_boot_device", wmiValue(L"Win32_OperatingSystem", L"BootDevice")},
      {windows, "windows_service_pack", wmiValue(L"Win32_OperatingSystem", L"ServicePackMajorVersion")},
      {windows, "windows_version", wmiValue(L"Win32_OperatingSystem", L"Version")},
      {windows, "windows_install_directory", name},
  };
  for (const auto& c : cases) EXPECT_EQ(field(c.section, c.field), c.expected) << c.field;
  // The family names the icon; the language and country are named by their tables.
  EXPECT_FALSE(field(sys, "os_family").empty());
  std::string icon = lowerAscii(field(sys, "os_family"));
  std::replace(icon.begin(), icon.end(), ' ', '_');
  EXPECT_EQ(field(sys, "icon"), icon);
  if (wmiValue(L"Win32_OperatingSystem", L"OSLanguage") == "1033") {
    EXPECT_EQ(field(windows, "windows_language"), "English - United States");
  }
  if (wmiValue(L"Win32_OperatingSystem", L"CountryCode") == "1") {
    EXPECT_EQ(field(windows, "windows_country_code"), "UNITED STATES");
  }
  EXPECT_GT(std::stoll(field(sys, "pc_memory")), 0);
  EXPECT_EQ(field(sys, "timestamp").size(), 19u);

  // Not a domain controller: the local accounts (none under Wine) and the three service accounts.
  std::vector<std::string> users;
  for (const auto* u = section("users")->FirstChildElement(); u; u = u->NextSiblingElement())
    users.push_back(field(u, "user_name"));
  ASSERT_GE(users.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(users.end() - 3, users.end()),
            (std::vector<std::string>{"LocalSystem", "NT AUTHORITY\\LocalService", "NT AUTHORITY\\NetworkService"}));
  const auto* system = section("users")->LastChildElement()->PreviousSiblingElement()->PreviousSiblingElement();
  EXPECT_EQ(field(system, "user_caption"), hostname + "\\LocalSystem");
  std::string upper = hostname;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  EXPECT_EQ(field(system, "user_domain"), upper);
}

TEST_F(InventoryScriptWin, UninstallEntriesOfBothViews) {
  // The 64-bit entry: in the uninstall list and again in the 64-bit view of it, every value as
  // written, escaped, trimmed and without the registered sign.
  const auto tools = packagesNamed("Kn R&D <Tools> x64");
  ASSERT_EQ(tools.size(), 2u);
  EXPECT_EQ(tools[0].list, " start of normal software ");
  EXPECT_EQ(tools[1].list, " end of 64 #3 ");
  const auto* p = tools[0].element;
  EXPECT_EQ(field(p, "software_version"), "2.5.1");
  EXPECT_EQ(field(p, "software_publisher"), "M\xC3\xBCller & Fr\xC3\xA8res \xE2\x82\xAC");
  EXPECT_EQ(field(p, "software_install_date"), "20240115");
  EXPECT_EQ(field(p, "software_location"), "C:\\Program Files\\Kn Tools");
  EXPECT_EQ(field(p, "software_install_source"), "D:\\setup");
  EXPECT_EQ(field(p, "software_url"), "https://example.invalid/kn?a=1&b=2");
  EXPECT_EQ(field(p, "software_system_component"), "1");
  EXPECT_EQ(field(p, "software_uninstall"), "");
  EXPECT_EQ(field(tools[1].element, "software_publisher"), field(p, "software_publisher"));
  // Markup characters as CDATA, never as entities.
  EXPECT_NE(text_->find("<software_name><![CDATA[Kn R&D <Tools> x64]]></software_name>"), std::string::npos);
  EXPECT_EQ(text_->find("&amp;"), std::string::npos);

  // The 32-bit entry: only in its own list.
  const auto legacy = packagesNamed("Kn Legacy (32-bit)");
  ASSERT_EQ(legacy.size(), 1u);
  EXPECT_EQ(legacy[0].list, " start of 64 #2 ");
  EXPECT_EQ(field(legacy[0].element, "software_version"), "1.0");

  // A subkey without a display name, or with an empty one, is no package.
  for (const Package& package : packages()) {
    EXPECT_NE(field(package.element, "software_publisher"), "Nameless");
    EXPECT_NE(field(package.element, "software_name"), "");
  }
  // The components that come with Windows.
  for (const char* name : {"Windows Media Player", "Internet Explorer"})
    EXPECT_EQ(packagesNamed(name).size(), 1u) << name;
}

TEST_F(InventoryScriptWin, ProductKeysDecodedFromTheRegistry) {
  std::map<std::string, std::vector<std::string>> keys;
  for (const auto* k = section("software_keys")->FirstChildElement(); k; k = k->NextSiblingElement())
    keys[field(k, "key_name")] = {field(k, "key_text"), field(k, "key_release"), field(k, "key_edition")};
  using Row = std::vector<std::string>;
  EXPECT_EQ(keys["Microsoft Office Professional Enterprise Edition 2003"],
            (Row{grouped(kOfficeOldKey), "RTM (first shipped version)", "Enterprise"}));
  EXPECT_EQ(keys["Microsoft Office Professional Plus 2013"],
            (Row{grouped(kOfficeLaterKey), "RTM (first shipped version)", "Enterprise"}));
  EXPECT_EQ(keys["Microsoft SQL Server 2005"], (Row{grouped(kSqlKey), "", "Express Edition"}));
  EXPECT_EQ(keys["Adobe Acrobat 6"], (Row{"1118-1234-5678-9012-3456-7890", "", "6.0"}));
  // Windows: its id decoded (whatever the machine holds), named after the system.
  const std::string osName = field(section("sys"), "os_name");
  ASSERT_TRUE(keys.count(osName)) << osName;
  EXPECT_EQ(keys[osName][0].size(), 29u);
  EXPECT_EQ(keys[osName][1], field(section("windows"), "windows_build_number"));
  EXPECT_EQ(keys[osName][2], field(section("sys"), "os_version"));
}

// The import reads the five sections of this result as the agent does after a run.
class NoInstances : public InstanceProvider {
 public:
  std::vector<WmiObject> instancesOf(const std::string&) override { return {}; }
};

TEST_F(InventoryScriptWin, TheImportGivesTheFiveMembers) {
  TempRoot out;
  WMIAuditorOptions options;
  options.connect = [] { return std::make_unique<NoInstances>(); };
  options.trace = [](const std::string&) {};
  TWMIAuditor auditor(out / "latest_audit.json", std::move(options));
  auditor.importScriptResult(*file_);
  const json& audit = auditor.result()[TWMIAuditor::metaKey];

  EXPECT_EQ(audit["MachineResume"].size(), 1u);
  EXPECT_EQ(audit["MachineResume"][0]["hostname"], field(section("sys"), "hostname"));
  EXPECT_EQ(audit["MachineResume"][0]["os_group"], "Windows");
  EXPECT_EQ(audit["OSResume"][0]["build_number"], field(section("windows"), "windows_build_number"));
  EXPECT_EQ(audit["OSResume"][0]["domain_role"], "Standalone Workstation");
  EXPECT_EQ(audit["Users"].back()["name"], "NT AUTHORITY\\NetworkService");
  EXPECT_EQ(audit["Software"].size(), packages().size());
  bool found = false;
  for (const json& package : audit["Software"])
    if (package["name"] == "Kn R&D <Tools> x64") {
      found = true;
      EXPECT_EQ(package["publisher"], "M\xC3\xBCller & Fr\xC3\xA8res \xE2\x82\xAC");
      EXPECT_EQ(package["system_component"], "1");
    }
  EXPECT_TRUE(found);
  bool acrobat = false;
  for (const json& key : audit["SoftwareKeysDetail"])
    if (key["name"] == "Adobe Acrobat 6") acrobat = key["text"] == "1118-1234-5678-9012-3456-7890";
  EXPECT_TRUE(acrobat);
}

}  // namespace
}  // namespace kn
