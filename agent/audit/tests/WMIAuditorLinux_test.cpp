// The audit engine with the Linux provider and the inventory script: this machine, and a fixture
// tree below KN_AUDIT_ROOT.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "FactText.h"
#include "KNTextCodec.h"
#include "TempRoot.h"
#include "WMIAuditor.h"

namespace kn {
namespace {

using nlohmann::json;
using test::readBytes;
using test::TempRoot;

const std::string kFixtures = KN_AUDIT_FIXTURES;

TEST(AuditRealRun, TheWholeDocumentOfThisMachine) {
  TempRoot dir;
  const std::string outfn = dir / "latest_audit.json";
  {
    TWMIAuditor auditor(outfn);
    auditor.execute();
    auditor.saveToFile();
  }
  const json doc = json::parse(readBytes(outfn));
  const json& audit = doc.at(TWMIAuditor::metaKey);
  for (const char* member : {"MachineResume", "OSResume", "Software", "Users", "SoftwareKeysDetail"})
    EXPECT_TRUE(audit.at(member).is_array()) << member;
  EXPECT_EQ(audit["MachineResume"].size(), 1u);
  EXPECT_EQ(audit["OSResume"].size(), 1u);

  size_t details = 0;
  for (const auto& [name, value] : audit.items()) {
    if (!name.ends_with("Detail")) continue;
    ++details;
    ASSERT_TRUE(value.is_array()) << name;
    // Every listed class is known: no array ends with an error text.
    for (const json& item : value) EXPECT_TRUE(item.is_object()) << name << ": " << item.dump();
  }
  EXPECT_EQ(details, 36u);  // the 30 classes, the 5 of the extended inventory and SoftwareKeysDetail
  EXPECT_FALSE(audit["OperatingSystemDetail"].empty());
  EXPECT_FALSE(audit["ProcessDetail"].empty());
  EXPECT_EQ(doc["success"], true);
  EXPECT_FALSE(std::filesystem::exists(outfn + ".xml"));
}

// The script and the class dump both read the machine below KN_AUDIT_ROOT: one fixture tree gives
// both. KN_SYSROOT, the agent's own files, moves neither.
TEST(AuditRealRun, TheWholeAuditFollowsTheAuditRoot) {
  TempRoot root, dir, agentRoot;
  std::filesystem::copy(kFixtures + "/root", root.path(), std::filesystem::copy_options::recursive);
  test::ScopedEnv auditRoot("KN_AUDIT_ROOT", root.path() + "/");
  test::ScopedEnv sysroot("KN_SYSROOT", agentRoot.path());
  const std::string outfn = dir / "latest_audit.json";
  TWMIAuditor auditor(outfn);
  auditor.execute();
  const json& audit = auditor.result().at(TWMIAuditor::metaKey);

  const json& machine = audit.at("MachineResume").at(0);
  EXPECT_EQ(machine["hostname"], "build-host");
  EXPECT_EQ(machine["os_name"], "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(machine["os_name"], audit.at("OperatingSystemDetail").at(0)["Caption"]);
  EXPECT_EQ(audit.at("OSResume").at(0)["build_number"], "6.1.0-18-amd64");
  std::vector<std::string> users, accounts;
  for (const json& u : audit.at("Users")) users.push_back(u["name"]);
  for (const json& a : audit.at("UserAccountDetail")) accounts.push_back(a["Name"]);
  EXPECT_EQ(users, (std::vector<std::string>{"root", "daemon", "toor", "alice", "bob", "zoe"}));
  EXPECT_EQ(users, accounts);
}

// A user's process, an environment value and a package field of megabytes of control bytes (and
// a character past U+FFFF, which takes two of the 32,767), and a package field of half a megabyte
// of blanks: the document holds each cut, in the class dump and in the script's sections alike, and
// stays small.
TEST(AuditRealRun, TextsOfTheMachineAreCutAt32767Characters) {
  TempRoot root, dir;
  std::filesystem::copy(kFixtures + "/root", root.path(), std::filesystem::copy_options::recursive);
  std::string huge = "\xF0\x9F\x98\x80";  // U+1F600
  while (huge.size() < (size_t{4} << 20)) huge += "\x01\x0b\x1b[0m\x7f\t\x0c\xff";
  root.write("proc/4242/stat", "4242 (sh) S 1 4242 4242 0 -1 0 0 0 0 0 3 4 0 0 20 0 1 0 100 0 0\n");
  root.write("proc/4242/status", "Name:\tsh\n");
  root.write("proc/4242/cmdline", huge + '\0' + huge + '\0');
  root.write("etc/environment", "HUGE=" + huge + "\n");
  root.write("var/lib/dpkg/status", readBytes(root / "var/lib/dpkg/status") +
                                        "\nPackage: huge\nStatus: install ok installed\nArchitecture: all\n"
                                        "Version: 1\nMaintainer: " +
                                        huge + "\n" +
                                        "\nPackage: blanks\nStatus: install ok installed\nArchitecture: all\n"
                                        "Version: 1\nMaintainer: x" +
                                        std::string(size_t{500} << 10, ' ') + "y \n");
  test::ScopedEnv auditRoot("KN_AUDIT_ROOT", root.path());
  TWMIAuditor auditor(dir / "latest_audit.json");
  auditor.execute();
  auditor.saveToFile();
  EXPECT_LT(std::filesystem::file_size(dir / "latest_audit.json"), size_t{2} << 20);
  const json& audit = auditor.result().at(TWMIAuditor::metaKey);

  // As it was read, cut: the character past U+FFFF counts two, a byte that is not UTF-8 becomes U+FFFD.
  std::string cut = huge;
  boundFact(cut);
  ASSERT_EQ(encodeUtf16LE(cut).size(), 2 * kMaxFactLength);
  const auto find = [&](const char* member, const char* key, const char* value) -> json {
    for (const json& item : audit.at(member))
      if (item.value(key, "") == value) return item;
    ADD_FAILURE() << "no " << key << " " << value << " in " << member;
    return json::object();
  };
  EXPECT_EQ(find("ProcessDetail", "Handle", "4242")["CommandLine"], cut);
  EXPECT_EQ(find("EnvironmentDetail", "Name", "HUGE")["VariableValue"], cut);
  EXPECT_EQ(find("ProductDetail", "Name", "huge")["Vendor"], cut);
  // The script writes the same cut without control characters, and trimmed.
  std::string written;
  for (char c : cut)
    if (c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)) written += c;
  written.erase(0, written.find_first_not_of('\t'));
  written.erase(written.find_last_not_of('\t') + 1);
  EXPECT_EQ(find("Software", "name", "huge")["publisher"], written);
  // Half a megabyte of blanks inside a value: trimmed in time linear in the value, then cut.
  EXPECT_EQ(find("ProductDetail", "Name", "blanks")["Vendor"], "x" + std::string(kMaxFactLength - 1, ' '));
  EXPECT_EQ(find("Software", "name", "blanks")["publisher"], "x");
}

}  // namespace
}  // namespace kn
