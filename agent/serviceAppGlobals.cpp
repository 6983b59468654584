#include "serviceAppGlobals.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

#include <nlohmann/json.hpp>

#include "APIKeyCipher.h"
#include "KNBase64.h"
#include "KNClock.h"
#include "KNConfig.h"
#include "KNEnv.h"
#include "KNException.h"
#include "KNLib.h"
#include "KNNameValueList.h"
#include "KNOs.h"
#include "KNSysInfo.h"
#include "KNVersion.h"
#include "ext.channel.h"
#include "knAppData.h"
#include "knAppDataFolders.h"
#include "knLOG2.h"
#include "KNPath.h"

namespace kn {
namespace {

struct Globals {
  std::string appID;
  std::string appName;
  std::string apiEndpoint = kDefaultApiEndpoint;
  std::string apiKey;
  bool hasAPIKey = false;
};

Globals& globals() {
  static Globals g;
  return g;
}

struct AppEntry {
  const char* id;
  const char* name;
};
constexpr AppEntry kApplications[] = {{"zarodirazev", "ZARODIRazev"}, {"rivavudozu", "RIVAVUDozu"}};

bool fileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(fsPath(path), ec);
}

// A name=value file as a list; a missing file gives an empty list.
TNameValueList loadList(const std::string& path) {
  TNameValueList list;
  if (fileExists(path)) list.loadFromFile(path);
  return list;
}

// "endpoint.ini" beside the executable; an empty list when there is none. Anything else in its
// place, a file that cannot be read or one larger than TNameValueList::kMaxFileBytes throws: an
// agent whose administrator named a platform must never fall back to the default one.
TNameValueList loadEndpointIni(bool* exists = nullptr) {
  const std::string path = exeFolder() + "endpoint.ini";
  TNameValueList list;
  std::error_code ec;
  const auto status = std::filesystem::status(fsPath(path), ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    if (exists) *exists = false;
    return list;
  }
  if (ec) throwOSError("Cannot read file \"" + path + "\"", ec.value());
  if (status.type() != std::filesystem::file_type::regular)
    throw EOSError("Cannot read file \"" + path + "\". It is not a regular file");
  list.loadFromFile(path);
  if (exists) *exists = true;
  return list;
}

// Lines of a PCID.ini that hold control characters other than tab are no text this agent wrote:
// a damaged file, whose lines must neither supply nor spread an identifier.
bool looksLikeText(const TNameValueList& list) {
  for (int i = 0; i < list.size(); ++i) {
    for (unsigned char c : list.line(i)) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
  }
  return true;
}

// One copy of "PCID.ini": its lines, or none when it is missing or damaged (which is logged).
TNameValueList loadIdentityCopy(const std::string& path) {
  TNameValueList list = loadList(path);
  if (!looksLikeText(list)) {
    logMsg("PCID.ini " + logSafe(path) + " is damaged; its lines are ignored");
    list.clear();
  }
  return list;
}

}  // namespace

const std::string& appID() { return globals().appID; }
const std::string& appName() { return globals().appName; }
const std::string& apiEndpoint() { return globals().apiEndpoint; }
const std::string& apiKey() { return globals().apiKey; }
bool hasAPIKey() { return globals().hasAPIKey; }

std::string applicationName(const std::string& appid) {
  for (const AppEntry& e : kApplications) {
    if (appid == e.id) return e.name;
  }
  return std::string();
}

std::string storedAPIKeyPath(const std::string& appid) {
  return "Software\\" + configCompany() + "\\.ak_" + appid + "\\" + appid;
}

void resetAppGlobals() { globals() = Globals{}; }

void loadAppGlobalDefaults() {
  Globals& g = globals();
  g.appID.clear();
  g.apiKey.clear();
  g.hasAPIKey = false;
  g.apiEndpoint = kDefaultApiEndpoint;
  bool exists = false;
  TNameValueList list = loadEndpointIni(&exists);
  if (!exists) return;
  g.apiEndpoint = list.value("endpoint");
  std::string cafile = list.value("cafile");
  if (!cafile.empty()) TExtChannel::setGlobalCAFile(cafile);
  // An old platform that speaks only TLS 1.0 or 1.1 is admitted by name; anything else fails start-up.
  TExtChannel::setGlobalTlsMin(list.value("tls_min"));
}

std::string appVersionText(const std::string& exeName, const std::string& version) {
  return replaceAll(lowerAscii(exeName), ".exe", "") + "/" + version;
}

void initAppGlobals(const std::string& appid) {
  Globals& g = globals();
  const std::string folder = exeFolder();
  if (!appid.empty()) {
    g.appID = appid;
  } else {
    std::string file = folder + "serviceApp.ini";
    logMsg("loading info from " + file);
    if (!fileExists(file)) throw Exception("serviceApp.ini not found");
    g.appID = loadList(file).value("appid");
    logMsg("appid: [" + logSafe(g.appID) + "]");
    if (g.appID.empty()) throw Exception("[appid] not found in serviceApp.ini");
  }

  std::string url = loadEndpointIni().value("url");
  if (!url.empty()) g.apiEndpoint = url;

  g.appName = applicationName(g.appID);
  if (g.appName.empty()) throw Exception("Appid [" + g.appID + "] unknown");

  TKNAppData::Init(g.appName, "Kestrane", true);
  appData()->hideAppFolder();

  TExtChannel::setGlobalEndpoint(g.apiEndpoint);
  auto channel = std::make_unique<TExtChannel>();

  nlohmann::ordered_json header;
  header["id"] = MyID();
  header["svc"] = g.appID;
  header["k"] = getAPIKey();
  header["pcn"] = computerName();
  std::string version = fileVersion(exePath());
  header["av"] = appVersionText(exeName(), version.empty() ? "0.0.0.0" : version);
  // Bytes that are no UTF-8 (a policy value, a host name) become U+FFFD rather than end start-up.
  channel->setHeader("x-serviceapp", header.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace));

  TExtChannel::setGlobalInstance(std::move(channel));
}

std::string generateNewID() {
  std::uint8_t bytes[16];
  os().randomBytes(bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static const char* const hex = "0123456789ABCDEF";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += hex[bytes[i] >> 4];
    id += hex[bytes[i] & 15];
  }
  // The low 32 bits of the millisecond count, as a tick counter gives them.
  auto ticks = static_cast<std::uint32_t>(appClock().steady().count());
  return id + "-" + std::to_string(ticks).substr(0, 4);
}

std::string MyID() {
  std::string result;
  try {
    TKNAppData identity("Identity", "Kestrane", true, false);
    identity.hideAppFolder();
    const std::string primary = identity.appFolder + "PCID.ini";
    const std::string fallback = exeFolder() + "PCID.ini";
    // Two agents starting at once must not create two identifiers.
    FileLock lock = os().lockFile(identity.appFolder + ".PCID.lock", LockWait::Wait);

    // The primary copy first, then the fallback: a primary that is damaged or lacks this
    // machine's line must not cost the machine its identifier (it would appear twice on the
    // platform). A copy that supplies the identifier is left as it is.
    const std::string name = "x" + computerName();
    TNameValueList lines = loadIdentityCopy(primary);
    result = lines.value(name);
    if (result.empty()) {
      TNameValueList other = loadIdentityCopy(fallback);
      result = other.value(name);
      // A new identifier goes into the primary's lines, or the fallback's when the primary has
      // none; lines of other computer names that only the fallback holds are kept.
      if (lines.size() == 0) {
        lines = other;
      } else {
        for (int i = 0; i < other.size(); ++i) {
          std::string otherName = other.name(i);
          if (!otherName.empty() && !lines.hasName(otherName)) lines.add(other.line(i));
        }
      }
    }
    if (result.empty()) {
      result = generateNewID();
      lines.setValue(name, result);
      // Replacing a file drops Windows' hidden attribute: each copy is marked again.
      writeFileWhole(os(), primary, lines.text());
      hideFile(primary);
      writeFileWhole(os(), fallback, lines.text());
      hideFile(fallback);
      logMsg("New PCID set [" + result + "]");
    }
  } catch (const std::exception& e) {
    result.clear();
    logException(e, "Cannot access HKLM registry, access denied");
  }
  if (result.empty()) throw Exception("MyID failed, cannot start service");
  return result;
}

std::string readPolicyAPIKey(const std::string& name) {
  TScopedConfigCompany policies("Policies");  // the policy branch stands in the maker's place
  TKNConfig store(name);
  store.RootKey = HKEY_LOCAL_MACHINE;
  store.LoadData();
  logMsg("GPO! " + logSafe(store.Params.commaText()));
  std::string key = store.Get("\\apikey");
  logMsg("GPO APIKEY? [" + logSafe(key) + "]");
  return key;
}

std::string decodeAPIKey(const std::string& stored) {
  if (stored.empty()) return std::string();
  try {
    return decodeStoredAPIKey(stored);
  } catch (const std::exception& e) {
    // The agent then presents "fail", which the platform refuses: visible, not silent.
    logException(e, "error decoding apikey");
    return "fail";
  }
}

std::string getAPIKey() {
  Globals& g = globals();
  if (g.apiKey.empty()) {
    if (g.appID.empty()) throw Exception("initAppGlobals must be called before using getAPIKey");
    std::string policy = readPolicyAPIKey(g.appName);
    if (!policy.empty()) {
      g.apiKey = policy;
      logMsg("Loaded api key from group policy.");
    } else {
      TKNConfig store(".ak_" + g.appID);
      store.RootKey = HKEY_LOCAL_MACHINE;
      store.LoadData();
      std::string stored = store.Get(g.appID + "\\" + kStoredAPIKeyValue);
      g.apiKey = decodeAPIKey(stored);
      logMsg("Loaded api key: " + logSafe(stored));
    }
  }
  g.hasAPIKey = !g.apiKey.empty();
  return g.apiKey;
}

}  // namespace kn
