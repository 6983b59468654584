// Fill functions of the classes read from /etc: accounts and groups, the system environment, the time
// zone, Samba shares and CUPS printers (InstanceProviderLinux.h).
#include <ctime>
#include <map>

#include "InstanceProviderLinux.h"
#include "LinuxSources.h"

namespace kn::linuxfill {

using namespace linuxsrc;

void fillTimeZone(const Machine& m, Instances& out) {
  auto caption = m.line("/etc/timezone");
  if (!caption) {
    if (const auto target = m.link("/etc/localtime")) {
      const size_t at = target->find("zoneinfo/");
      if (at != std::string::npos) caption = target->substr(at + 9);
    }
  }
  const auto tzif = m.read("/etc/localtime");
  const auto rule = tzif ? parsePosixTimeZone(tzifFooter(*tzif)) : std::nullopt;
  if (!caption && !rule) return;
  auto& row = out.add();
  row.set("Caption", caption).set("Description", caption);
  if (!rule) return;
  row.set("StandardName", rule->standardName)
      .set("Bias", -rule->bias)
      .set("StandardBias", 0)
      .set("DaylightName", nonEmpty(rule->daylightName))
      .set("DaylightBias", rule->daylightName.empty() ? 0 : -60);
  const auto change = [&row](const std::string& prefix, const std::optional<TimeZoneRule::Change>& c) {
    row.set(prefix + "Month", c ? c->month : 0)
        .set(prefix + "Day", c ? c->week : 0)
        .set(prefix + "DayOfWeek", c ? c->dayOfWeek : 0)
        .set(prefix + "Hour", c ? c->hour : 0);
  };
  change("Daylight", rule->daylightStart);
  change("Standard", rule->standardStart);
}

void fillEnvironment(const Machine& m, Instances& out) {
  for (const auto& [name, value] : parseKeyValues(m.read("/etc/environment").value_or(""))) {
    out.add()
        .set("Name", name)
        .set("VariableValue", value)
        .set("UserName", "<SYSTEM>")
        .set("SystemVariable", true)
        .set("Caption", "<SYSTEM>\\" + name)
        .set("Description", "<SYSTEM>\\" + name)
        .set("Status", "OK");
  }
}

void fillUserAccount(const Machine& m, Instances& out) {
  const auto passwd = m.read("/etc/passwd");
  if (!passwd) return;
  const auto shadowText = m.read("/etc/shadow");
  std::map<std::string, ShadowEntry> shadow;
  if (shadowText)
    for (ShadowEntry& s : parseShadow(*shadowText)) shadow.emplace(s.name, std::move(s));
  const long today = static_cast<long>(std::time(nullptr) / 86400);
  const std::string domain = m.upperHostName();
  for (const PasswdEntry& p : parsePasswd(*passwd)) {
    const bool noLogin = p.shell.ends_with("/nologin") || p.shell.ends_with("/false");
    const auto s = shadow.find(p.name);
    auto& row = out.add();
    row.set("Name", p.name)
        .set("Caption", domain + "\\" + p.name)
        .set("Domain", domain)
        .set("FullName", p.gecos.substr(0, p.gecos.find(',')))
        .set("Description", nonEmpty(p.gecos))
        .set("SID", std::to_string(p.uid))
        .set("SIDType", 1)
        .set("AccountType", 512)
        .set("LocalAccount", true)
        .set("Lockout", false)
        .set("Status", "OK");
    if (s != shadow.end()) {
      const ShadowEntry& e = s->second;
      const bool locked = startsWith(e.password, "!") || startsWith(e.password, "*");  // as passwd -S
      const bool expired = e.expireDay && *e.expireDay >= 0 && *e.expireDay <= today;
      row.set("Disabled", noLogin || locked || expired)
          .set("PasswordRequired", !e.password.empty())
          .set("PasswordExpires", e.maxDays.has_value() && *e.maxDays >= 0 && *e.maxDays < 99999)
          .set("PasswordChangeable", !(e.minDays && e.maxDays && *e.maxDays >= 0 && *e.minDays > *e.maxDays));
    } else {
      // Without the shadow file only the shell tells anything; "x" means "ask the shadow file".
      if (noLogin) row.set("Disabled", true);
      if (p.password != "x") row.set("PasswordRequired", !p.password.empty());
    }
  }
}

void fillGroup(const Machine& m, Instances& out) {
  const std::string domain = m.upperHostName();
  for (const GroupEntry& g : parseGroup(m.read("/etc/group").value_or(""))) {
    out.add()
        .set("Name", g.name)
        .set("Caption", domain + "\\" + g.name)
        .set("Domain", domain)
        .set("SID", std::to_string(g.gid))
        .set("SIDType", 4)
        .set("LocalAccount", true)
        .set("Status", "OK");
  }
}

void fillShare(const Machine& m, Instances& out) {
  for (const IniSection& s : parseIniSections(m.read("/etc/samba/smb.conf").value_or(""))) {
    if (s.name == "global") continue;
    const auto yes = [&](const char* key) {
      const std::string v = field(s.values, key).value_or("");
      return v == "yes" || v == "true" || v == "1";
    };
    const bool printer = s.name == "printers" || yes("printable") || yes("print ok");
    const auto comment = field(s.values, "comment");
    const long maxConnections = std::atol(field(s.values, "max connections").value_or("0").c_str());
    auto& row = out.add();
    row.set("Name", s.name)
        .set("Path", field(s.values, "path"))
        .set("Description", comment)
        .set("Caption", comment.value_or(s.name))
        .set("Type", printer ? 1 : 0)
        .set("AllowMaximum", maxConnections <= 0)
        .set("Status", "OK");
    if (maxConnections > 0) row.set("MaximumAllowed", std::int64_t{maxConnections});
  }
}

void fillPrinter(const Machine& m, Instances& out) {
  for (const CupsPrinter& p : parseCupsPrinters(m.read("/etc/cups/printers.conf").value_or(""))) {
    const auto uri =
        mapped(field(p.values, "DeviceURI"), [](const std::string& u) { return withoutUriCredentials(u); });
    const std::string state = field(p.values, "State").value_or("");
    const bool local =
        uri && (startsWith(*uri, "usb:") || startsWith(*uri, "parallel:") || startsWith(*uri, "serial:"));
    out.add()
        .set("Name", p.name)
        .set("DeviceID", p.name)
        .set("Caption", p.name)
        .set("Comment", field(p.values, "Info"))
        .set("Location", field(p.values, "Location"))
        .set("DriverName", field(p.values, "MakeModel"))
        .set("PortName", uri)
        .set("Default", p.isDefault)
        .set("Shared", field(p.values, "Shared") == "Yes")
        .set("Network", uri.has_value() && !local)
        .set("PrinterStatus", state == "Idle"         ? 3
                              : state == "Processing" ? 4
                              : state == "Stopped"    ? 7
                                                      : 2)
        .set("Status", "OK");
  }
}

}  // namespace kn::linuxfill
