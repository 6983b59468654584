// The embedded Lua inventory run through the real script host, against a fixture root folder and
// against the machine itself.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "AuditScript.h"
#include "InstanceProviderLinux.h"
#include "KNBase64.h"
#include "KNLib.h"
#include "LinuxSources.h"
#include "ScriptHost.h"
#include "TempRoot.h"

namespace kn {
namespace {

using test::readBytes;
using test::TempRoot;

const std::string kScriptPath = std::string(KN_AUDIT_RESOURCES) + "/inventory.lua";
const std::string kFixtures = KN_AUDIT_FIXTURES;
const char* const kSections[] = {"sys", "windows", "users", "software", "software_keys"};

// The prepared script, as the agent runs it, auditing `root` ("" for the machine itself).
std::string preparedInventory(const std::string& root, const std::string& resultFile) {
  std::string script = readBytes(kScriptPath);
  const size_t at = script.find("\nrootfolder = ");
  EXPECT_NE(at, std::string::npos) << "the script's root folder setting";
  if (at != std::string::npos)
    script.replace(at + 1, script.find('\n', at + 1) - at - 1, "rootfolder = " + luaQuoted(root));
  return prepareAuditScript(base64Encode(script) + "\r\n", resultFile);
}

void runInventory(const std::string& root, const std::string& resultFile) {
  executeScript(preparedInventory(root, resultFile), resultFile, [](const std::string&) {});
}

// A wtmp record: type, user; everything else zero.
std::string wtmpRecord(short type, const char* user) {
  std::string record(384, '\0');
  std::memcpy(record.data(), &type, sizeof type);
  std::memcpy(record.data() + 44, user, std::strlen(user));
  return record;
}

// The fixture root with the binary files a text fixture cannot hold.
void makeFixtureRoot(const TempRoot& root) {
  std::filesystem::copy(kFixtures + "/root", root.path(), std::filesystem::copy_options::recursive);
  root.write("var/log/wtmp", wtmpRecord(7, "alice") + wtmpRecord(7, "Bob") + wtmpRecord(2, "reboot") +
                                 wtmpRecord(8, "") + std::string(100, '\0'));
  root.write("etc/localtime", std::string("TZif2\0\0\n\1\2", 10) + "\nCET-1CEST,M3.5.0,M10.5.0/3\n");
  root.write("bin/sh", std::string("\177ELF\2\1\1\0", 8));
  // tzdata's installation is older than the logs: its file list keeps the date.
  root.write("var/lib/dpkg/info/tzdata.list", "/usr/share/zoneinfo\n");
  std::tm noon{};
  noon.tm_year = 122, noon.tm_mon = 0, noon.tm_mday = 15, noon.tm_hour = 12, noon.tm_isdst = -1;
  const timeval times[2] = {{std::mktime(&noon), 0}, {std::mktime(&noon), 0}};
  ::utimes((root / "var/lib/dpkg/info/tzdata.list").c_str(), times);
}

std::string field(const tinyxml2::XMLElement* section, const char* name) {
  const tinyxml2::XMLElement* e = section ? section->FirstChildElement(name) : nullptr;
  return e && e->GetText() ? e->GetText() : "";
}

// The expected result: the fixture file with CR LF line ends, byte-order mark, no final line end.
std::string expectedResult() {
  std::string text = readBytes(kFixtures + "/expected.xml");
  std::string out = "\xEF\xBB\xBF";
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// `text` with the run's time stamp replaced by a fixed one.
std::string withoutTimestamp(std::string text) {
  const size_t open = text.find("<timestamp>"), close = text.find("</timestamp>");
  if (open != std::string::npos && close != std::string::npos)
    text.replace(open + 11, close - open - 11, "2024-01-02 03:04:05");
  return text;
}

TEST(InventoryScript, FixtureRootGivesTheExpectedResultFile) {
  TempRoot root, out;
  makeFixtureRoot(root);
  const std::string result = out / "latest_audit.json.xml";
  runInventory(root.path(), result);

  const std::string written = readBytes(result);
  EXPECT_EQ(withoutTimestamp(written), expectedResult());
  EXPECT_FALSE(std::filesystem::exists(result + ".tmp"));

  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse(written.data(), written.size()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
  const tinyxml2::XMLElement* sys = doc.RootElement()->FirstChildElement("sys");
  EXPECT_STREQ(sys->FirstChildElement("manufacturer")->GetText(), "Acme & Sons");
  // A value holding "]]>" spans two CDATA sections; together they give the value back.
  const tinyxml2::XMLElement* odd =
      doc.RootElement()->FirstChildElement("software")->LastChildElement("package");
  std::string publisher;
  for (auto* n = odd->FirstChildElement("software_publisher")->FirstChild(); n; n = n->NextSibling())
    if (n->ToText()) publisher += n->Value();
  EXPECT_EQ(publisher, "Odd ]]> Maint \xEF\xBF\xBD\xEF\xBF\xBD end");
  const std::string timestamp = sys->FirstChildElement("timestamp")->GetText();
  EXPECT_EQ(timestamp.size(), 19u) << timestamp;
}

TEST(InventoryScript, WithoutShadowAccessTheFactsOnlyItHoldsAreEmpty) {
  TempRoot root, out;
  makeFixtureRoot(root);
  std::filesystem::remove(root / "etc/shadow");
  std::filesystem::remove_all(root / "sys");
  std::filesystem::remove(root / "var/log/wtmp");
  const std::string result = out / "r.xml";
  runInventory(root.path(), result);

  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile(result.c_str()), tinyxml2::XML_SUCCESS);
  struct Expected {
    const char* name;
    const char* disabled;
    const char* required;
  };
  // daemon's shell refuses logins; bob's passwd entry has no password; the others depend on shadow.
  const Expected users[] = {
      {"root", "", ""}, {"daemon", "True", ""}, {"toor", "", ""}, {"alice", "", ""}, {"bob", "", "False"}};
  const tinyxml2::XMLElement* user = doc.RootElement()->FirstChildElement("users")->FirstChildElement("user");
  for (const Expected& e : users) {
    ASSERT_NE(user, nullptr);
    SCOPED_TRACE(e.name);
    auto text = [&](const char* field) {
      const char* t = user->FirstChildElement(field)->GetText();
      return std::string(t ? t : "");
    };
    EXPECT_EQ(text("user_name"), e.name);
    EXPECT_EQ(text("user_disabled"), e.disabled);
    EXPECT_EQ(text("user_password_required"), e.required);
    EXPECT_EQ(text("user_password_expires"), "");
    user = user->NextSiblingElement("user");
  }
  const tinyxml2::XMLElement* sys = doc.RootElement()->FirstChildElement("sys");
  for (const char* field : {"uuid", "serial", "model", "manufacturer", "form_factor"})
    EXPECT_EQ(sys->FirstChildElement(field)->GetText(), nullptr) << field;
  EXPECT_EQ(
      doc.RootElement()->FirstChildElement("windows")->FirstChildElement("windows_user_name")->GetText(),
      nullptr);
}

TEST(InventoryScript, SkipSoftwareLeavesTheSectionOut) {
  TempRoot root, out;
  makeFixtureRoot(root);
  std::string code = preparedInventory(root.path(), out / "r.xml");
  code.replace(code.find("skip_software = \"n\""), 19, "skip_software = \"y\"");
  executeScript(code, out / "r.xml", [](const std::string&) {});
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile((out / "r.xml").c_str()), tinyxml2::XML_SUCCESS);
  EXPECT_EQ(doc.RootElement()->FirstChildElement("software"), nullptr);
  EXPECT_NE(doc.RootElement()->FirstChildElement("software_keys"), nullptr);
}

// Installed packages by the package database's own tool, asked about a copy of the database taken
// for the run (apt may change the live one meanwhile), or -1 when it cannot be asked.
int dpkgInstalledCount(const std::string& adminDir) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen(("dpkg-query --admindir='" + adminDir + "' -W -f '${db:Status-Status}\\n' 2>/dev/null").c_str(),
            "r"),
      pclose);
  if (!pipe) return -1;
  int count = 0, lines = 0;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe.get())) {
    ++lines;
    if (std::strcmp(buffer, "installed\n") == 0) ++count;
  }
  return lines ? count : -1;
}

TEST(InventoryScript, RealMachineGivesAWellFormedResultWithEveryInstalledPackage) {
  TempRoot out;
  const std::string result = out / "real.xml";
  runInventory("", result);

  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile(result.c_str()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
  const tinyxml2::XMLElement* system = doc.RootElement();
  ASSERT_STREQ(system->Name(), "system");
  const tinyxml2::XMLElement* section = system->FirstChildElement();
  for (const char* name : kSections) {
    ASSERT_NE(section, nullptr) << name;
    EXPECT_STREQ(section->Name(), name);
    section = section->NextSiblingElement();
  }
  EXPECT_NE(field(system->FirstChildElement("sys"), "hostname"), "");
}

// The package list against dpkg-query, both reading one snapshot of the database.
TEST(InventoryScript, EveryInstalledPackageOfTheDatabase) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file("/var/lib/dpkg/status", ec)) GTEST_SKIP() << "no dpkg database here";
  TempRoot root, out;
  std::filesystem::create_directories(root / "var/lib/dpkg");
  std::filesystem::copy_file("/var/lib/dpkg/status", root / "var/lib/dpkg/status");
  const int expected = dpkgInstalledCount(root / "var/lib/dpkg");
  if (expected < 0) GTEST_SKIP() << "dpkg-query cannot be asked";
  runInventory(root.path(), out / "r.xml");
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile((out / "r.xml").c_str()), tinyxml2::XML_SUCCESS);
  int packages = 0;
  for (auto* p = doc.RootElement()->FirstChildElement("software")->FirstChildElement("package"); p;
       p = p->NextSiblingElement("package"))
    ++packages;
  EXPECT_EQ(packages, expected);
}

// A FIFO where a log or the shadow file should be would block a read for ever: it reads as missing.
TEST(InventoryScript, FifosInPlaceOfFilesReadAsMissing) {
  TempRoot root, out;
  makeFixtureRoot(root);
  for (const char* file : {"var/log/wtmp", "etc/shadow", "var/log/dpkg.log.1"}) {
    std::filesystem::remove(root / file);
    ASSERT_EQ(::mkfifo((root / file).c_str(), 0600), 0) << file;
  }
  runInventory(root.path(), out / "r.xml");
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile((out / "r.xml").c_str()), tinyxml2::XML_SUCCESS);
  EXPECT_EQ(field(doc.RootElement()->FirstChildElement("windows"), "windows_user_name"), "");
  const auto* user = doc.RootElement()->FirstChildElement("users")->FirstChildElement("user");
  EXPECT_EQ(field(user, "user_password_expires"), "");  // known only from the shadow file
}

// The package database and the logs are read in blocks: a line or paragraph far longer than any
// real one is cut rather than held whole, and the records after it are read as usual; a log line
// is taken apart whole wherever it begins.
TEST(InventoryScript, OversizedRecordsAreCutAndTheRestIsRead) {
  TempRoot root, out;
  makeFixtureRoot(root);
  const std::string huge(3 * 1024 * 1024, 'x');
  root.write("var/log/dpkg.log", huge + "\n" + readBytes(root / "var/log/dpkg.log") +
                                     "ab\n2024-12-31 1:2:3 upgrade notes:amd64 0.9-1 1.0-1\n");
  root.write("var/lib/dpkg/status",
             "Package: bulky\nStatus: install ok installed\nVersion: 1\nDescription: big\n " + huge + "\n\n" +
                 readBytes(root / "var/lib/dpkg/status"));
  runInventory(root.path(), out / "r.xml");
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile((out / "r.xml").c_str()), tinyxml2::XML_SUCCESS);
  std::map<std::string, std::string> dates;
  for (auto* p = doc.RootElement()->FirstChildElement("software")->FirstChildElement("package"); p;
       p = p->NextSiblingElement("package"))
    dates[field(p, "software_name")] = field(p, "software_install_date");
  EXPECT_TRUE(dates.count("bulky"));
  EXPECT_EQ(dates["base-files"], "20230610");  // the log's first line after the long one
  EXPECT_EQ(dates["notes"], "20241231");       // a time written short, on the line after a short one
  const std::string expected = expectedResult();
  size_t fixturePackages = 0;
  for (size_t at = 0; (at = expected.find("<package>", at)) != std::string::npos; ++at) ++fixturePackages;
  EXPECT_EQ(dates.size(), fixturePackages + 1);
}

// Facts taken from their second source, locked accounts, and a member of a domain.
TEST(InventoryScript, SecondSourcesLockedAccountsAndDomainMembership) {
  TempRoot root, out;
  makeFixtureRoot(root);
  root.write("proc/cmdline", "console=ttyS0 quiet\n");
  root.write("proc/mounts", "rootfs / rootfs rw 0 0\n/dev/vda / ext4 rw 0 0\nproc /proc proc rw 0 0\n");
  root.write("etc/passwd", "svc:x:999:999::/srv:/bin/bash\nann:x:1000:1000::/home/ann:/bin/bash\n");
  root.write("etc/shadow", "svc:*:19700:0:99999:7:::\nann:!$y$h:19700:0:99999:7:::\n");
  root.write("etc/samba/smb.conf",
             "[global]\n  workgroup = CORP\n  security = ADS\n[share]\nsecurity = user\n");
  root.write("etc/X11/default-display-manager", "/usr/sbin/gdm3\n");
  runInventory(root.path(), out / "r.xml");
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile((out / "r.xml").c_str()), tinyxml2::XML_SUCCESS);
  const auto* windows = doc.RootElement()->FirstChildElement("windows");
  EXPECT_EQ(field(windows, "windows_boot_device"), "/dev/vda");
  EXPECT_EQ(field(windows, "windows_domain_short"), "CORP");
  EXPECT_EQ(field(windows, "windows_domain_role"), "Workstation");
  EXPECT_EQ(field(windows, "windows_part_of_domain"), "True");
  for (auto* user = doc.RootElement()->FirstChildElement("users")->FirstChildElement("user"); user;
       user = user->NextSiblingElement("user"))
    EXPECT_EQ(field(user, "user_disabled"), "True") << field(user, "user_name");
}

// A full disk is named as such, not hidden behind a missing result file.
TEST(InventoryScript, AResultFileThatCannotBeWrittenFailsTheScriptWithTheReason) {
  TempRoot root, out;
  makeFixtureRoot(root);
  std::filesystem::create_symlink("/dev/full", out / "r.xml.tmp");
  try {
    runInventory(root.path(), out / "r.xml");
    FAIL() << "the script succeeded";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot write the script result file " + (out / "r.xml")),
              std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(std::filesystem::exists(out / "r.xml"));
}

// The script, the adapters' configuration and the computer system read the resolver's local domain
// of resolv.conf by one rule (linuxsrc::resolvConfDomain), the script lower-casing it.
TEST(InventoryScript, ReadsTheResolversDomainAsTheClassesDo) {
  const char* const texts[] = {
      "domain corp.example\n",
      "search a.example b.example\n",
      "domain corp.example\nsearch a.example\n",
      "search a.example\ndomain Corp.Example\n",
      "domain corp.example\nsearch .\n",
      "domain\tx.example\r\ndomain\r\n",
      "  domain not.example\n#domain no.example\nnameserver 192.0.2.53\n",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const std::optional<std::string> domain = linuxsrc::resolvConfDomain(text);
    TempRoot root, out;
    root.write("proc/sys/kernel/hostname", "box\n");
    root.write("etc/resolv.conf", text);
    root.write("sys/class/net/eth0/type", "1\n");
    root.write("sys/class/net/eth0/ifindex", "2\n");
    const std::string result = out / "r.xml";
    runInventory(root.path(), result);
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(result.c_str()), tinyxml2::XML_SUCCESS);
    EXPECT_EQ(field(doc.RootElement()->FirstChildElement("sys"), "domain"), lowerAscii(domain.value_or("")));

    const auto provider = createLinuxInstanceProvider(
        {.root = root.path(), .addresses = [] {
           return std::vector<InterfaceAddress>{{"eth0", "192.0.2.10", "255.255.255.0", false}};
         }});
    const auto value = [](const WmiObject& object, const std::string& name) -> WmiValue {
      for (const WmiProperty& p : object)
        if (p.name == name) return p.value;
      return {};
    };
    const auto adapters = provider->instancesOf("Win32_NetworkAdapterConfiguration");
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(value(adapters[0], "DNSDomain"), domain ? WmiValue(*domain) : WmiValue());
    const auto computer = provider->instancesOf("Win32_ComputerSystem");
    ASSERT_EQ(computer.size(), 1u);
    EXPECT_EQ(value(computer[0], "Domain"), WmiValue(domain.value_or("WORKGROUP")));
  }
}

}  // namespace
}  // namespace kn
