#include "InstallRecord.h"

#include <filesystem>
#include <system_error>

#include "KNLib.h"
#include "KNOs.h"
#include "KNServiceControl.h"
#include "knLOG2.h"
#include "KNPath.h"

namespace kn {
namespace {

constexpr std::string_view kFirstLine = "kn-install 1";
constexpr std::string_view kRecordSuffix = ".install";

std::string encode(std::string_view name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '%') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False for text that encode() cannot have written.
bool decode(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  for (size_t at = 0;;) {
    size_t tab = line.find('\t', at);
    out.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
    if (tab == std::string_view::npos) return out;
    at = tab + 1;
  }
}

// Removes a file that is no longer needed; one that cannot be removed is left for the next start.
void removeQuietly(const std::string& path) {
  try {
    os().removePath(path);
  } catch (const EOSError& e) {
    logMsg(std::string("Cannot remove a leftover file: ") + logSafe(e.what()));
  }
}

}  // namespace

std::string updaterPrivateFolder(const std::string& folder) {
  std::string path = folder + ".kn-updater/";
  os().makeFolder(path, 0700);
  std::error_code ec;
  if (std::filesystem::symlink_status(fsPath(path), ec).type() != std::filesystem::file_type::directory)
    throw EOSError("Cannot use " + path + ": it is not a folder");
  return path;
}

std::string formatInstallRecord(const InstallRecord& record) {
  std::string text = std::string(kFirstLine) + "\n";
  text += "app\t" + encode(record.exename) + "\n";
  for (const auto& s : record.services) text += "service\t" + encode(s) + "\n";
  for (const auto& f : record.files)
    text += "file\t" + encode(f.target) + "\t" + encode(f.temp) + "\t" + encode(f.backup) + "\n";
  return text;
}

InstallRecord parseInstallRecord(std::string_view text) {
  InstallRecord record;
  if (!text.starts_with(kFirstLine)) return record;
  std::string a, b, c;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) break;  // a last line without its end was not written whole
    std::vector<std::string_view> f = fields(text.substr(at, end - at));
    at = end + 1;
    if (f[0] == "app" && f.size() == 2 && decode(f[1], a)) {
      record.exename = a;
    } else if (f[0] == "service" && f.size() == 2 && decode(f[1], a) && !a.empty()) {
      record.services.push_back(a);
    } else if (f[0] == "file" && f.size() == 4 && decode(f[1], a) && decode(f[2], b) && decode(f[3], c)) {
      record.files.push_back({a, b, c});
    }
  }
  return record;
}

void writeInstallRecord(const std::string& path, const InstallRecord& record) {
  writeFileWhole(os(), path, formatInstallRecord(record));
}

int recoverInterruptedInstalls(const std::string& folder) {
  std::string dir;
  try {
    dir = updaterPrivateFolder(folder);
  } catch (const std::exception& e) {
    logMsg(std::string("Interrupted updates cannot be looked for: ") + logSafe(e.what()));
    return 0;
  }
  std::vector<std::string> records, stale;
  try {
    for (const FolderEntry& e : os().listFolder(dir))
      (e.name.ends_with(kRecordSuffix) ? records : stale).push_back(dir + e.name);
  } catch (const EOSError& e) {
    logMsg(std::string("Interrupted updates cannot be looked for: ") + logSafe(e.what()));
  }
  for (const auto& path : stale) removeQuietly(path);  // downloads of a process that ended
  for (const auto& path : records) {
    InstallRecord record;
    try {
      record = parseInstallRecord(readFileBytes(path, 256u << 20));
    } catch (const std::exception& e) {
      logMsg(std::string("Cannot read ") + logSafe(path) + ": " + logSafe(e.what()));
    }
    std::string log = record.exename.empty() ? std::string() : record.exename;
    auto both = [&](const std::string& line) {
      logMsg(line);
      if (!log.empty()) logTo(log, "UPD: " + line);
    };
    if (record.files.empty()) {
      both("An update was interrupted before it replaced any file: nothing was changed");
    } else {
      int placed = finishStagedInstall(folder, record.files);
      both("An interrupted update was finished: " + std::to_string(placed) + " of " +
           std::to_string(record.files.size()) + " file(s) were still to be put in place");
    }
    for (const auto& service : record.services) {
      bool ok = serviceControl().requestStart(service);
      both("Starting " + logSafe(service) + " again after the interrupted update: " + (ok ? "1" : "0"));
    }
    removeQuietly(path);
  }
  return static_cast<int>(records.size());
}

}  // namespace kn
