// Pure readers of the Linux text (and SMBIOS) sources behind the instance provider.
//
// Each function turns the content of one kind of file into values and nothing else: no file is
// opened here, so every rule is tested with literal text. Malformed lines are skipped, never
// reported: a machine's odd file must not cost the rest of its inventory.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kn::linuxsrc {

// Calls `f(line)` for every line of `text` (LF or CR LF ends), the line end removed.
template <typename F>
void forEachLine(std::string_view text, F&& f) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(line);
    pos = end + 1;
  }
}

using Fields = std::vector<std::pair<std::string, std::string>>;

// The value of `key` in `fields` (first match, exact case), or nullopt.
std::optional<std::string> field(const Fields& fields, std::string_view key);

// KEY=value lines (os-release, /etc/environment, machine-info): blanks around the key skipped,
// one pair of surrounding double or single quotes removed from the value; comments and lines
// without "=" skipped; "export " in front of a key ignored.
Fields parseKeyValues(std::string_view text);

// "Key<blanks>: value" lines (/proc/meminfo, /proc/<pid>/status, one block of /proc/cpuinfo),
// key and value trimmed.
Fields parseColonFields(std::string_view text);

// /proc/cpuinfo: one block of colon fields per logical processor (blocks end at a blank line).
std::vector<Fields> parseCpuinfo(std::string_view text);

// A size field of /proc/meminfo or /proc/<pid>/status ("16318412 kB") in kB; nullopt when absent.
std::optional<std::uint64_t> kilobytes(const Fields& fields, std::string_view key);

// /proc/net/route: one entry per route line, addresses as dotted IPv4 text.
struct Route {
  std::string interface, destination, gateway, mask;
  unsigned flags = 0;
  int metric = 0;
};
std::vector<Route> parseProcNetRoute(std::string_view text);
// The dotted form of an IPv4 address in /proc's little-endian hex ("0102A8C0" -> "192.168.2.1").
std::optional<std::string> hexToDottedIPv4(std::string_view hex);

// /proc/mounts (or /etc/mtab): device, mount point and type, with the octal escapes undone.
struct Mount {
  std::string device, mountPoint, type, options;
};
std::vector<Mount> parseMounts(std::string_view text);

// /etc/passwd, /etc/shadow, /etc/group.
struct PasswdEntry {
  std::string name, password;
  long uid = 0, gid = 0;
  std::string gecos, home, shell;
};
std::vector<PasswdEntry> parsePasswd(std::string_view text);
struct ShadowEntry {
  std::string name, password;
  std::optional<long> minDays, maxDays, expireDay;
};
std::vector<ShadowEntry> parseShadow(std::string_view text);
struct GroupEntry {
  std::string name;
  long gid = 0;
  std::vector<std::string> members;
};
std::vector<GroupEntry> parseGroup(std::string_view text);

// /var/lib/dpkg/status: the installed packages (Status ending in " installed"), in file order.
struct DpkgPackage {
  std::string name, architecture, version, maintainer, summary, homepage;
  bool multiArchSame = false, essential = false;
  // "name:arch" for Multi-Arch: same packages, as dpkg-query names them; else the name.
  std::string qualifiedName() const;
};
std::vector<DpkgPackage> parseDpkgStatus(std::string_view text);

// A systemd unit file: the settings the service list shows.
struct UnitFile {
  std::string description, execStart, user, type;
};
UnitFile parseUnitFile(std::string_view text);

// /proc/asound/cards: " 0 [PCH            ]: HDA-Intel - HDA Intel PCH" lines.
struct SoundCard {
  int index = 0;
  std::string id, driver, name;
};
std::vector<SoundCard> parseAsoundCards(std::string_view text);

// Section-and-key files (smb.conf): "[name]" lines open a section; "key = value" lines belong to the
// last one, keys lower-cased with their inner blanks kept; "#" and ";" lines are comments.
struct IniSection {
  std::string name;
  Fields values;
};
std::vector<IniSection> parseIniSections(std::string_view text);

// CUPS printers.conf: "<Printer name>" / "<DefaultPrinter name>" blocks with "Key value" lines.
struct CupsPrinter {
  std::string name;
  bool isDefault = false;
  Fields values;
};
std::vector<CupsPrinter> parseCupsPrinters(std::string_view text);
// A device URI without the user and password it may carry ("ipp://u:p@host/x" -> "ipp://host/x").
std::string withoutUriCredentials(std::string_view uri);

// /proc/<pid>/stat: the fields after the command name (which may hold blanks and parentheses).
struct ProcStat {
  char state = '?';
  long ppid = 0, priority = 0, threads = 0;
  std::uint64_t utimeTicks = 0, stimeTicks = 0, startTicks = 0;
};
std::optional<ProcStat> parseProcStat(std::string_view text);

// /proc/stat: the lines of the whole system that the provider uses.
struct SystemStat {
  std::optional<std::int64_t> bootTime;      // "btime": seconds since 1970
  std::optional<std::int64_t> procsRunning;  // "procs_running": runnable threads
};
SystemStat parseSystemStat(std::string_view text);

// /proc/loadavg ("0.10 0.20 0.30 2/345 6789"): the number of scheduling entities (threads) after
// the "/"; nullopt without one.
std::optional<std::int64_t> loadavgEntities(std::string_view text);

// The kernel command line's "root=" device (the last one given); nullopt without one.
std::optional<std::string> kernelRootDevice(std::string_view cmdline);

// The resolver's local domain in /etc/resolv.conf, as the resolver reads it: "domain" and "search"
// lines (the keyword at the start of the line, then blanks) set it, the last one that names
// anything wins, and a "search" line gives its first name. "." is the root domain: no name.
std::optional<std::string> resolvConfDomain(std::string_view text);
// The resolver's name servers: the "nameserver" lines' addresses, in file order.
std::vector<std::string> resolvConfNameServers(std::string_view text);

// A SMBIOS memory device (structure type 17, /sys/firmware/dmi/entries/17-*/raw).
struct MemoryDevice {
  std::optional<std::uint64_t> capacityBytes;  // nullopt: no module installed or size unknown
  std::string deviceLocator, bankLocator, manufacturer, serialNumber, partNumber;
  int formFactor = 0, memoryType = 0, typeDetail = 0, speed = 0, configuredSpeed = 0;
  int dataWidth = 0, totalWidth = 0;
};
std::optional<MemoryDevice> parseSmbiosMemoryDevice(std::string_view raw);

// The rule of a POSIX TZ text (the last line of a TZif file): "CET-1CEST,M3.5.0,M10.5.0/3".
struct TimeZoneRule {
  std::string standardName, daylightName;
  int bias = 0;  // minutes to add to local standard time to get UTC (WMI's Bias: -60 for CET)
  struct Change {
    int month = 0, week = 0, dayOfWeek = 0, hour = 2;
  };
  std::optional<Change> daylightStart, standardStart;
};
std::optional<TimeZoneRule> parsePosixTimeZone(std::string_view text);
// The POSIX rule at the end of a TZif file; "" when the file has none.
std::string tzifFooter(std::string_view tzif);

// A WMI date-time text: "yyyymmddHHMMSS.mmmmmm" and the signed UTC offset in minutes ("+060").
std::string wmiDateTime(const std::tm& local, long utcOffsetSeconds, int microseconds = 0);
// SMBIOS BIOS date "mm/dd/yyyy" as a WMI date-time at midnight UTC; nullopt when malformed.
std::optional<std::string> biosDateToWmi(std::string_view text);

// `systemctl list-units --type=service --all --plain --full --no-legend` lines:
// "UNIT LOAD ACTIVE SUB DESCRIPTION..."; a leading status mark ("●") is skipped.
struct ServiceUnitState {
  std::string name, load, active, sub, description;
};
std::vector<ServiceUnitState> parseListUnits(std::string_view text);

// The vendor's name for a PCI vendor id ("1af4") in the text of a pci.ids file, else in a few ids
// built in (virtual machines' and common storage vendors); nullopt when neither knows it.
std::optional<std::string> pciVendorName(std::string_view pciIds, std::string_view vendorId);

// The system's release as precisely as it is recorded: /etc/debian_version ("12.11") when it refines
// os-release's VERSION_ID ("12"), else VERSION_ID.
std::string preciseOsVersion(const std::string& versionId, const std::string& debianVersion);

// Text trimmed of blanks, tabs, CR and LF at both ends.
std::string trim(std::string_view text);
// `text` in upper case (ASCII letters only).
std::string upper(std::string text);
// `text`, or nullopt when it is empty.
std::optional<std::string> nonEmpty(std::string text);

}  // namespace kn::linuxsrc
