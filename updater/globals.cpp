#include "globals.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "KNEnv.h"
#include "KNException.h"
#include "KNJsonParse.h"
#include "KNLib.h"
#include "KNOs.h"
#include "KNTextCodec.h"
#include "knLOG2.h"
#include "KNPath.h"

namespace kn {
namespace {

using nlohmann::json;

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("Config file not found (" + path + ")");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return decodeText(bytes.str());
}

// The most of one value, and of the file's text, that the log shows.
constexpr size_t kLoggedValueChars = 1000;
constexpr size_t kLoggedFileChars = 64 * 1024;

// Compact JSON as the log shows it: "/" escaped too, everything outside printable ASCII as \u,
// every string cut to its first 1,000 characters plus "...".
std::string logForm(const json& j) {
  std::string text = j.dump(-1, ' ', true, json::error_handler_t::replace);
  std::string out;
  out.reserve(std::min(text.size(), kLoggedFileChars));
  bool inString = false, escaped = false;
  size_t length = 0;  // of the string so far
  for (char c : text) {
    if (inString && !escaped && c == '"') {
      if (length > kLoggedValueChars) out += "...";
      inString = false;
    } else if (!inString && c == '"') {
      inString = true;
      length = 0;
      out += c;
      continue;
    }
    if (inString) {
      escaped = !escaped && c == '\\';
      if (++length > kLoggedValueChars) continue;
    }
    if (c == '/') out += '\\';  // a "/" can only stand inside a string
    out += c;
  }
  return out;
}

std::string logFileText(const std::string& text) {
  if (text.size() <= kLoggedFileChars) return text;
  return text.substr(0, kLoggedFileChars) + "... (" + std::to_string(text.size()) + " bytes in all)";
}

std::string quotedItem(const std::string& item) {
  bool quote = item.find_first_of(" ,\"") != std::string::npos;
  for (unsigned char c : item) quote = quote || c < 0x20 || c == 0x7f;
  if (!quote) return item;
  std::string out = "\"";
  for (char c : item) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

TUpdaterConfig& processConfig() {
  static TUpdaterConfig cf;
  return cf;
}

}  // namespace

std::string configText(const json& obj, const char* key) {
  if (!obj.is_object()) return "";
  auto it = obj.find(key);
  if (it == obj.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number()) return it->dump();
  return "";
}

long long configInteger(const json& obj, const char* key) {
  if (!obj.is_object()) return 0;
  auto it = obj.find(key);
  if (it == obj.end()) return 0;
  if (it->is_number_integer()) return it->get<long long>();
  if (it->is_number_unsigned()) {
    auto v = it->get<unsigned long long>();
    return v > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<long long>(v);
  }
  return 0;
}

TUpdaterConfig TUpdaterConfig::load(const std::string& path) {
  TUpdaterConfig c;
  std::string text = readWholeFile(path);
  logMsg(logFileText(text));

  // Comments are tolerated; anything that is not one JSON object is refused, and so is a text nested
  // or sized far beyond a configuration (three levels; a few kilobytes of tree per service).
  JsonParseResult parsed = parseJsonBounded(text, {.maxDepth = 64, .maxCost = 16 << 20, .comments = true});
  json cf = std::move(parsed.value);
  if (parsed.outcome != JsonParseOutcome::Ok || !cf.is_object())
    throw Exception("CF is nil - something is wrong with the JSON format of the file...");
  logMsg(logForm(cf));

  if (configText(cf, "name").empty()) throw Exception("[name] missing");
  if (configText(cf, "descr").empty()) throw Exception("[descr] missing");
  auto services = cf.find("services");
  if (services == cf.end() || !services->is_array()) throw Exception("[services] array not found.");

  c.name_ = configText(cf, "name");
  c.updateUrl_ = configText(cf, "updateurl");
  if (!c.updateUrl_.empty() && !isServerUrl(c.updateUrl_))
    throw Exception("[updateurl] is not an http or https URL: " + logSafe(c.updateUrl_));
  c.publicKeyPath_ = configText(cf, "publickey");
  // A path from a root ("/etc/k.pem", "C:\keys\k.pem", "\\server\k.pem") is kept; any other is
  // taken beside the file, whichever separator the file's path uses (on Windows a backslash).
  if (!c.publicKeyPath_.empty() && !fsPath(c.publicKeyPath_).has_root_directory()) {
    size_t slash = path.find_last_of(kPathSeparators);
    c.publicKeyPath_ =
        (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + c.publicKeyPath_;
  }
  for (size_t i = 0; i < services->size(); ++i) {
    const json& entry = (*services)[i];
    try {
      std::string exe = configText(entry, "exe");
      if (exe.empty()) throw Exception("[exe] not found");
      if (configText(entry, "appid").empty()) throw Exception("[appid] not found");
      if (configInteger(entry, "interval") <= 0) throw Exception("invalid [interval]");
      logMsg(exe);
      if (c.indexOf(exe) >= 0) throw Exception("Duplicate exe in config: " + exe);
      c.apps_.emplace_back(exe, static_cast<int>(i));
    } catch (const std::exception& e) {
      logException(e, "Error while parsing service #" + std::to_string(i) + " in services array");
    }
  }
  c.cf_ = std::move(cf);
  logMsg("Monitoring: " + c.monitoredAppsText());
  return c;
}

int TUpdaterConfig::indexOf(const std::string& exe) const {
  for (size_t i = 0; i < apps_.size(); ++i)
    if (sameTextIgnoringCase(apps_[i].first, exe)) return static_cast<int>(i);
  return -1;
}

const nlohmann::json& TUpdaterConfig::getAppConfig(const std::string& exe) const {
  int i = indexOf(exe);
  if (i < 0) throw Exception("Application [" + exe + "] not found under this kSU.");
  return cf_.at("services").at(static_cast<size_t>(apps_[static_cast<size_t>(i)].second));
}

std::string TUpdaterConfig::monitoredAppsText() const {
  std::string text;
  for (const auto& [exe, position] : apps_) {
    if (!text.empty()) text += ',';
    text += quotedItem(exe + "=" + std::to_string(position));
  }
  return text;
}

std::string configPath() { return exePath() + "config"; }

void LoadConfig() {
  setLogTimestamps(true);
  try {
    processConfig() = TUpdaterConfig::load(configPath());
  } catch (const std::exception& e) {
    logException(e, "LoadConfig failed");
    std::fprintf(stderr, "%s\n", e.what());  // whoever ran it by hand sees why, too
    std::exit(255);
  }
}

const TUpdaterConfig& config() { return processConfig(); }
void setConfig(TUpdaterConfig cf) { processConfig() = std::move(cf); }

std::string updaterFolder() { return exeFolder(); }

TUpdaterTicks& updaterTicks() {
  static TUpdaterTicks ticks;
  return ticks;
}

}  // namespace kn
