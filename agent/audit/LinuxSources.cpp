#include "LinuxSources.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "KNLib.h"

namespace kn::linuxsrc {
namespace {

std::vector<std::string_view> splitView(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  for (;;) {
    const size_t end = text.find(sep, pos);
    parts.push_back(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) return parts;
    pos = end + 1;
  }
}

// Blank-separated words.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    if (end > pos) out.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

template <typename T>
std::optional<T> number(std::string_view text, int base = 10) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// "\040" and friends of /proc/mounts.
std::string unescapeOctal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string_view digits = text.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace

std::string trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::optional<std::string> nonEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> field(const Fields& fields, std::string_view key) {
  for (const auto& [k, v] : fields)
    if (k == key) return v;
  return std::nullopt;
}

Fields parseKeyValues(std::string_view text) {
  Fields out;
  forEachLine(text, [&](std::string_view line) {
    const std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed[0] == '#') return;
    const size_t eq = trimmed.find('=');
    if (eq == std::string::npos) return;
    std::string key = trim(std::string_view(trimmed).substr(0, eq));
    if (key.rfind("export ", 0) == 0) key = trim(std::string_view(key).substr(7));
    if (key.empty()) return;
    std::string value = trim(std::string_view(trimmed).substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    out.emplace_back(std::move(key), std::move(value));
  });
  return out;
}

Fields parseColonFields(std::string_view text) {
  Fields out;
  forEachLine(text, [&](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    std::string key = trim(line.substr(0, colon));
    if (key.empty()) return;
    out.emplace_back(std::move(key), trim(line.substr(colon + 1)));
  });
  return out;
}

std::vector<Fields> parseCpuinfo(std::string_view text) {
  std::vector<Fields> blocks;
  Fields current;
  forEachLine(text, [&](std::string_view line) {
    if (trim(line).empty()) {
      if (!current.empty()) blocks.push_back(std::move(current));
      current.clear();
      return;
    }
    Fields one = parseColonFields(line);
    if (!one.empty()) current.push_back(std::move(one.front()));
  });
  if (!current.empty()) blocks.push_back(std::move(current));
  // Blocks without a "processor" entry (the board summary some ARM kernels append) are no CPU.
  std::erase_if(blocks, [](const Fields& b) { return !field(b, "processor"); });
  return blocks;
}

std::optional<std::uint64_t> kilobytes(const Fields& fields, std::string_view key) {
  const auto value = field(fields, key);
  if (!value) return std::nullopt;
  const auto w = words(*value);
  if (w.empty()) return std::nullopt;
  return number<std::uint64_t>(w[0]);
}

std::optional<std::string> hexToDottedIPv4(std::string_view hex) {
  const auto v = number<std::uint32_t>(hex, 16);
  if (!v || hex.size() != 8) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", *v & 0xff, (*v >> 8) & 0xff, (*v >> 16) & 0xff, *v >> 24);
  return std::string(text);
}

std::vector<Route> parseProcNetRoute(std::string_view text) {
  std::vector<Route> routes;
  forEachLine(text, [&](std::string_view line) {
    const auto w = words(line);
    if (w.size() < 8 || w[0] == "Iface") return;
    const auto dest = hexToDottedIPv4(w[1]), gateway = hexToDottedIPv4(w[2]), mask = hexToDottedIPv4(w[7]);
    const auto flags = number<unsigned>(w[3], 16);
    const auto metric = number<int>(w[6]);
    if (!dest || !gateway || !mask || !flags || !metric) return;
    routes.push_back({std::string(w[0]), *dest, *gateway, *mask, *flags, *metric});
  });
  return routes;
}

std::vector<Mount> parseMounts(std::string_view text) {
  std::vector<Mount> mounts;
  forEachLine(text, [&](std::string_view line) {
    const auto w = words(line);
    if (w.size() < 3) return;
    mounts.push_back({unescapeOctal(w[0]), unescapeOctal(w[1]), std::string(w[2]),
                      w.size() > 3 ? std::string(w[3]) : std::string()});
  });
  return mounts;
}

std::vector<PasswdEntry> parsePasswd(std::string_view text) {
  std::vector<PasswdEntry> out;
  forEachLine(text, [&](std::string_view line) {
    const auto f = splitView(line, ':');
    if (f.size() < 7 || f[0].empty()) return;
    const auto uid = number<long>(f[2]), gid = number<long>(f[3]);
    if (!uid || !gid) return;
    out.push_back({std::string(f[0]), std::string(f[1]), *uid, *gid, std::string(f[4]), std::string(f[5]),
                   std::string(f[6])});
  });
  return out;
}

std::vector<ShadowEntry> parseShadow(std::string_view text) {
  std::vector<ShadowEntry> out;
  forEachLine(text, [&](std::string_view line) {
    const auto f = splitView(line, ':');
    if (f.size() < 8 || f[0].empty()) return;
    out.push_back(
        {std::string(f[0]), std::string(f[1]), number<long>(f[3]), number<long>(f[4]), number<long>(f[7])});
  });
  return out;
}

std::vector<GroupEntry> parseGroup(std::string_view text) {
  std::vector<GroupEntry> out;
  forEachLine(text, [&](std::string_view line) {
    const auto f = splitView(line, ':');
    if (f.size() < 4 || f[0].empty()) return;
    const auto gid = number<long>(f[2]);
    if (!gid) return;
    GroupEntry g{std::string(f[0]), *gid, {}};
    if (!f[3].empty())
      for (auto m : splitView(f[3], ',')) g.members.emplace_back(m);
    out.push_back(std::move(g));
  });
  return out;
}

std::string DpkgPackage::qualifiedName() const {
  return multiArchSame && !architecture.empty() ? name + ":" + architecture : name;
}

std::vector<DpkgPackage> parseDpkgStatus(std::string_view text) {
  std::vector<DpkgPackage> out;
  DpkgPackage current;
  bool installed = false;
  const auto flush = [&] {
    if (installed && !current.name.empty()) out.push_back(std::move(current));
    current = DpkgPackage();
    installed = false;
  };
  forEachLine(text, [&](std::string_view line) {
    if (line.empty()) return flush();
    if (line[0] == ' ' || line[0] == '\t') return;  // continuation of a multi-line field
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view key = line.substr(0, colon);
    std::string value = trim(line.substr(colon + 1));
    if (key == "Package") {
      current.name = std::move(value);
    } else if (key == "Status") {
      installed = value.size() >= 10 && value.compare(value.size() - 10, 10, " installed") == 0;
    } else if (key == "Architecture") {
      current.architecture = std::move(value);
    } else if (key == "Version") {
      current.version = std::move(value);
    } else if (key == "Maintainer") {
      current.maintainer = std::move(value);
    } else if (key == "Description") {
      current.summary = std::move(value);
    } else if (key == "Homepage") {
      current.homepage = std::move(value);
    } else if (key == "Multi-Arch") {
      current.multiArchSame = value == "same";
    } else if (key == "Essential") {
      current.essential = value == "yes";
    }
  });
  flush();
  return out;
}

UnitFile parseUnitFile(std::string_view text) {
  UnitFile unit;
  std::string section;
  forEachLine(text, [&](std::string_view raw) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') return;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      return;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return;
    const std::string key = trim(std::string_view(line).substr(0, eq));
    std::string value = trim(std::string_view(line).substr(eq + 1));
    if (section == "Unit" && key == "Description") {
      unit.description = std::move(value);
    } else if (section == "Service" && key == "ExecStart") {
      // The first command wins; "-", "@", "+", "!" and ":" prefixes only steer how systemd runs it.
      if (!unit.execStart.empty() || value.empty()) return;
      size_t skip = 0;
      while (skip < value.size() && std::string_view("-@+!:").find(value[skip]) != std::string_view::npos)
        ++skip;
      unit.execStart = value.substr(skip);
    } else if (section == "Service" && key == "User") {
      unit.user = std::move(value);
    } else if (section == "Service" && key == "Type") {
      unit.type = std::move(value);
    }
  });
  return unit;
}

std::vector<SoundCard> parseAsoundCards(std::string_view text) {
  std::vector<SoundCard> out;
  forEachLine(text, [&](std::string_view line) {
    // " 0 [PCH            ]: HDA-Intel - HDA Intel PCH"; the second line of each card is indented
    // further and holds no "[".
    const size_t open = line.find('['), close = line.find("]:");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return;
    const auto index = number<int>(trim(line.substr(0, open)));
    if (!index) return;
    const std::string rest = trim(line.substr(close + 2));
    const size_t dash = rest.find(" - ");
    out.push_back({*index, trim(line.substr(open + 1, close - open - 1)),
                   dash == std::string::npos ? rest : rest.substr(0, dash),
                   dash == std::string::npos ? rest : rest.substr(dash + 3)});
  });
  return out;
}

std::vector<IniSection> parseIniSections(std::string_view text) {
  std::vector<IniSection> out;
  forEachLine(text, [&](std::string_view raw) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') return;
    if (line.front() == '[' && line.back() == ']') {
      out.push_back({trim(std::string_view(line).substr(1, line.size() - 2)), {}});
      return;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || out.empty()) return;
    out.back().values.emplace_back(lowerAscii(trim(std::string_view(line).substr(0, eq))),
                                   trim(std::string_view(line).substr(eq + 1)));
  });
  return out;
}

std::vector<CupsPrinter> parseCupsPrinters(std::string_view text) {
  std::vector<CupsPrinter> out;
  bool open = false;
  forEachLine(text, [&](std::string_view raw) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#') return;
    if (line.rfind("<Printer ", 0) == 0 || line.rfind("<DefaultPrinter ", 0) == 0) {
      if (line.back() != '>') return;
      const size_t blank = line.find(' ');
      out.push_back(
          {trim(std::string_view(line).substr(blank + 1, line.size() - blank - 2)), line[1] == 'D', {}});
      open = true;
    } else if (line == "</Printer>" || line == "</DefaultPrinter>") {
      open = false;
    } else if (open) {
      const size_t blank = line.find(' ');
      out.back().values.emplace_back(line.substr(0, blank), blank == std::string::npos
                                                                ? ""
                                                                : trim(std::string_view(line).substr(blank)));
    }
  });
  return out;
}

std::string withoutUriCredentials(std::string_view uri) {
  const size_t scheme = uri.find("://");
  if (scheme == std::string_view::npos) return std::string(uri);
  const size_t hostStart = scheme + 3;
  const size_t pathStart = std::min(uri.find_first_of("/?#", hostStart), uri.size());
  const size_t at = uri.substr(0, pathStart).rfind('@');
  if (at == std::string_view::npos || at < hostStart) return std::string(uri);
  return std::string(uri.substr(0, hostStart)) + std::string(uri.substr(at + 1));
}

std::optional<ProcStat> parseProcStat(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  const std::string rest = trim(text.substr(close + 1));
  const auto w = words(rest);
  // w[0] is field 3 (state); field n is w[n - 3].
  if (w.size() < 20 || w[0].size() != 1) return std::nullopt;
  ProcStat s;
  s.state = w[0][0];
  const auto ppid = number<long>(w[1]), priority = number<long>(w[15]), threads = number<long>(w[17]);
  const auto utime = number<std::uint64_t>(w[11]), stime = number<std::uint64_t>(w[12]),
             start = number<std::uint64_t>(w[19]);
  if (!ppid || !priority || !threads || !utime || !stime || !start) return std::nullopt;
  s.ppid = *ppid;
  s.priority = *priority;
  s.threads = *threads;
  s.utimeTicks = *utime;
  s.stimeTicks = *stime;
  s.startTicks = *start;
  return s;
}

std::optional<MemoryDevice> parseSmbiosMemoryDevice(std::string_view raw) {
  // Formatted area: type (17), its own length, handle; the strings follow it, each ended by a NUL,
  // the set ended by another NUL.
  if (raw.size() < 0x15 || static_cast<unsigned char>(raw[0]) != 17) return std::nullopt;
  const size_t length = static_cast<unsigned char>(raw[1]);
  if (length < 0x15 || length > raw.size()) return std::nullopt;
  const auto byte = [&](size_t at) -> int { return at < length ? static_cast<unsigned char>(raw[at]) : 0; };
  const auto word = [&](size_t at) -> int { return at + 1 < length ? byte(at) | byte(at + 1) << 8 : 0; };
  const auto dword = [&](size_t at) -> std::uint64_t {
    return at + 3 < length
               ? static_cast<std::uint64_t>(word(at)) | static_cast<std::uint64_t>(word(at + 2)) << 16
               : 0;
  };
  std::vector<std::string> strings;
  for (size_t pos = length; pos < raw.size() && raw[pos] != '\0';) {
    const size_t end = raw.find('\0', pos);
    strings.push_back(
        trim(raw.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos)));
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  const auto str = [&](size_t at) -> std::string {
    const int index = byte(at);
    return index >= 1 && static_cast<size_t>(index) <= strings.size() ? strings[index - 1] : std::string();
  };

  MemoryDevice d;
  const int size = word(0x0C);
  if (size == 0x7FFF && length >= 0x20) {
    d.capacityBytes = (dword(0x1C) & 0x7FFFFFFF) << 20;  // extended size, in MB
  } else if (size != 0 && size != 0xFFFF) {
    d.capacityBytes = (size & 0x8000) ? static_cast<std::uint64_t>(size & 0x7FFF) << 10
                                      : static_cast<std::uint64_t>(size) << 20;
  }
  d.totalWidth = word(0x08) == 0xFFFF ? 0 : word(0x08);
  d.dataWidth = word(0x0A) == 0xFFFF ? 0 : word(0x0A);
  d.formFactor = byte(0x0E);
  d.deviceLocator = str(0x10);
  d.bankLocator = str(0x11);
  d.memoryType = byte(0x12);
  d.typeDetail = word(0x13);
  d.speed = word(0x15);
  d.manufacturer = str(0x17);
  d.serialNumber = str(0x18);
  d.partNumber = str(0x1A);
  d.configuredSpeed = word(0x20);
  return d;
}

std::string tzifFooter(std::string_view tzif) {
  // Version 2+ files end with "\n<rule>\n".
  if (tzif.size() < 2 || tzif.back() != '\n') return "";
  const size_t start = tzif.rfind('\n', tzif.size() - 2);
  if (start == std::string_view::npos) return "";
  return std::string(tzif.substr(start + 1, tzif.size() - start - 2));
}

std::optional<TimeZoneRule> parsePosixTimeZone(std::string_view text) {
  size_t pos = 0;
  const auto name = [&]() -> std::optional<std::string> {
    if (pos < text.size() && text[pos] == '<') {
      const size_t end = text.find('>', pos);
      if (end == std::string_view::npos) return std::nullopt;
      std::string n(text.substr(pos + 1, end - pos - 1));
      pos = end + 1;
      return n;
    }
    const size_t start = pos;
    while (pos < text.size() && std::isalpha(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos - start < 3) return std::nullopt;
    return std::string(text.substr(start, pos - start));
  };
  // [+-]hh[:mm[:ss]] in minutes, positive west of Greenwich as POSIX writes it. Hours above 24,
  // minutes or seconds above 59 (or a part longer than two digits) make no offset.
  const auto offset = [&]() -> std::optional<int> {
    int sign = 1;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) sign = text[pos++] == '-' ? -1 : 1;
    int parts[3] = {0, 0, 0}, count = 0;
    while (count < 3) {
      const size_t start = pos;
      int value = 0;
      while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        if (pos - start == 2) return std::nullopt;
        value = value * 10 + (text[pos++] - '0');
      }
      if (pos == start) return count ? std::optional<int>(sign * (parts[0] * 60 + parts[1])) : std::nullopt;
      if (value > (count == 0 ? 24 : 59)) return std::nullopt;
      parts[count++] = value;
      if (pos < text.size() && text[pos] == ':') {
        ++pos;
      } else {
        break;
      }
    }
    return sign * (parts[0] * 60 + parts[1]);
  };
  const auto change = [&]() -> std::optional<TimeZoneRule::Change> {
    if (pos >= text.size() || text[pos] != 'M') return std::nullopt;  // Julian-day rules are not mapped
    const size_t end = text.find(',', pos);
    const std::string when(
        text.substr(pos + 1, end == std::string_view::npos ? std::string_view::npos : end - pos - 1));
    pos = end == std::string_view::npos ? text.size() : end;
    TimeZoneRule::Change c;
    if (std::sscanf(when.c_str(), "%d.%d.%d/%d", &c.month, &c.week, &c.dayOfWeek, &c.hour) < 3)
      return std::nullopt;
    return c;
  };

  TimeZoneRule rule;
  const auto standard = name();
  const auto stdOffset = offset();
  if (!standard || !stdOffset) return std::nullopt;
  rule.standardName = *standard;
  rule.bias = *stdOffset;
  if (pos < text.size()) {
    const auto daylight = name();
    if (!daylight) return std::nullopt;
    rule.daylightName = *daylight;
    if (pos < text.size() && text[pos] != ',') offset();
    if (pos < text.size() && text[pos] == ',') {
      ++pos;
      rule.daylightStart = change();
      if (pos < text.size() && text[pos] == ',') {
        ++pos;
        rule.standardStart = change();
      }
    }
  }
  return rule;
}

std::string wmiDateTime(const std::tm& local, long utcOffsetSeconds, int microseconds) {
  char text[64];
  const long minutes = std::clamp(utcOffsetSeconds / 60, -999L, 999L);
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%06d%c%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, microseconds,
                minutes < 0 ? '-' : '+', minutes < 0 ? -minutes : minutes);
  return text;
}

SystemStat parseSystemStat(std::string_view text) {
  SystemStat stat;
  const auto number = [](std::string_view rest) {
    return static_cast<std::int64_t>(std::atoll(std::string(rest.substr(0, 32)).c_str()));
  };
  forEachLine(text, [&](std::string_view line) {
    if (line.starts_with("btime ")) stat.bootTime = number(line.substr(6));
    if (line.starts_with("procs_running ")) stat.procsRunning = number(line.substr(14));
  });
  return stat;
}

std::optional<std::int64_t> loadavgEntities(std::string_view text) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return static_cast<std::int64_t>(std::atoll(std::string(text.substr(slash + 1, 32)).c_str()));
}

std::optional<std::string> kernelRootDevice(std::string_view cmdline) {
  std::optional<std::string> device;
  for (size_t pos = 0; pos < cmdline.size();) {
    size_t end = cmdline.find(' ', pos);
    if (end == std::string_view::npos) end = cmdline.size();
    if (cmdline.substr(pos).starts_with("root="))
      device = std::string(cmdline.substr(pos + 5, end - pos - 5));
    pos = end + 1;
  }
  return device;
}

namespace {

// The first word after `keyword` and its blanks when `line` is such a resolv.conf line; "" when it is
// one without a word, nullopt when it is another line.
std::optional<std::string_view> resolvValue(std::string_view line, std::string_view keyword) {
  if (!line.starts_with(keyword) || line.size() == keyword.size()) return std::nullopt;
  if (line[keyword.size()] != ' ' && line[keyword.size()] != '\t') return std::nullopt;
  std::string_view rest = line.substr(keyword.size());
  rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
  return rest.substr(0, rest.find_first_of(" \t\r"));
}

}  // namespace

std::optional<std::string> resolvConfDomain(std::string_view text) {
  std::optional<std::string> domain;
  forEachLine(text, [&](std::string_view line) {
    auto name = resolvValue(line, "domain");
    if (!name) name = resolvValue(line, "search");
    if (name && !name->empty()) domain = std::string(*name);
  });
  if (domain == ".") return std::nullopt;
  return domain;
}

std::vector<std::string> resolvConfNameServers(std::string_view text) {
  std::vector<std::string> servers;
  forEachLine(text, [&](std::string_view line) {
    const auto address = resolvValue(line, "nameserver");
    if (address && !address->empty()) servers.emplace_back(*address);
  });
  return servers;
}

std::optional<std::string> biosDateToWmi(std::string_view text) {
  int month = 0, day = 0, year = 0;
  char tail = 0;
  if (std::sscanf(std::string(text).c_str(), "%2d/%2d/%4d%c", &month, &day, &year, &tail) != 3)
    return std::nullopt;
  if (year < 100) year += year < 80 ? 2000 : 1900;  // early SMBIOS wrote two-digit years
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  return wmiDateTime(tm, 0);
}

std::vector<ServiceUnitState> parseListUnits(std::string_view text) {
  std::vector<ServiceUnitState> units;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    // Words separated by blanks; the fifth onwards is the description.
    std::string_view words[4];
    size_t at = 0;
    int n = 0;
    while (n < 4) {
      at = line.find_first_not_of(" \t", at);
      if (at == std::string_view::npos) break;
      size_t stop = line.find_first_of(" \t", at);
      if (stop == std::string_view::npos) stop = line.size();
      std::string_view word = line.substr(at, stop - at);
      at = stop;
      if (n == 0 && (word == "\xE2\x97\x8F" || word == "*")) continue;  // the mark of a failed unit
      words[n++] = word;
    }
    if (n < 4 || !words[0].ends_with(".service")) continue;
    units.push_back({std::string(words[0]), std::string(words[1]), std::string(words[2]),
                     std::string(words[3]), trim(at < line.size() ? line.substr(at) : std::string_view())});
  }
  return units;
}

std::optional<std::string> pciVendorName(std::string_view pciIds, std::string_view vendorId) {
  const std::string id = lowerAscii(vendorId);
  if (id.size() != 4) return std::nullopt;
  // Vendor lines: four hex digits, two blanks, the name; device lines are indented.
  size_t pos = 0;
  while (pos < pciIds.size()) {
    size_t end = pciIds.find('\n', pos);
    if (end == std::string_view::npos) end = pciIds.size();
    const std::string_view line = pciIds.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() > 6 && line.substr(4, 2) == "  " && line[0] != '\t' && line[0] != '#') {
      if (sameTextIgnoringCase(line.substr(0, 4), id)) return trim(line.substr(6));
    }
  }
  static const std::pair<const char*, const char*> kBuiltIn[] = {
      {"1af4", "Red Hat, Inc."},
      {"1b36", "Red Hat, Inc."},
      {"15ad", "VMware"},
      {"80ee", "InnoTek Systemberatung GmbH"},
      {"1414", "Microsoft Corporation"},
      {"8086", "Intel Corporation"},
      {"1022", "Advanced Micro Devices, Inc. [AMD]"},
      {"144d", "Samsung Electronics Co Ltd"},
      {"1000", "Broadcom / LSI"},
      {"1d0f", "Amazon.com, Inc."},
      {"10de", "NVIDIA Corporation"}};
  for (const auto& [vendor, name] : kBuiltIn)
    if (id == vendor) return std::string(name);
  return std::nullopt;
}

std::string preciseOsVersion(const std::string& versionId, const std::string& debianVersion) {
  const std::string precise = trim(debianVersion);
  if (versionId.empty() || precise.empty()) return versionId;
  if (precise.find_first_not_of("0123456789.") != std::string::npos) return versionId;
  if (precise == versionId || precise.starts_with(versionId + ".")) return precise;
  return versionId;
}

}  // namespace kn::linuxsrc
