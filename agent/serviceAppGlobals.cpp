#include "serviceAppGlobals.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <random>

#include <nlohmann/json.hpp>

#include "APIKeyCipher.h"
#include "KNAtomicFile.h"
#include "KNBase64.h"
#include "KNConfig.h"
#include "KNEnv.h"
#include "KNException.h"
#include "KNLib.h"
#include "KNNameValueList.h"
#include "KNSysInfo.h"
#include "KNVersion.h"
#include "ext.channel.h"
#include "knAppData.h"
#include "knLOG2.h"

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
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A settings file beside the executable as a name=value list.
TNameValueList loadList(const std::string& path) {
  TNameValueList list;
  list.loadFromFile(path);
  return list;
}

// Holds an exclusive lock on a file for its lifetime, so two agents starting at once do not
// create two identifiers.
class FileLock {
 public:
  explicit FileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ < 0) throwOSError("Cannot open file \"" + path + "\"", errno);
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int err = errno;
        ::close(fd_);
        throwOSError("Cannot lock file \"" + path + "\"", err);
      }
    }
  }
  ~FileLock() { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

std::string readIfPresent(const std::string& path) {
  return fileExists(path) ? readTextFile(path) : std::string();
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

void loadAppGlobalDefaultsFrom(const std::string& folder) {
  Globals& g = globals();
  g.appID.clear();
  g.apiKey.clear();
  g.hasAPIKey = false;
  g.apiEndpoint = kDefaultApiEndpoint;
  std::string ini = folder + "endpoint.ini";
  if (!fileExists(ini)) return;
  TNameValueList list = loadList(ini);
  g.apiEndpoint = list.value("endpoint");
  std::string cafile = list.value("cafile");
  if (!cafile.empty()) TExtChannel::setGlobalCAFile(cafile);
}

void loadAppGlobalDefaults() { loadAppGlobalDefaultsFrom(exeFolder()); }

std::string appVersionText(const std::string& exeName, const std::string& version) {
  std::string name = exeName;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return replaceAll(name, ".exe", "") + "/" + version;
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
    logMsg("appid: [" + g.appID + "]");
    if (g.appID.empty()) throw Exception("[appid] not found in serviceApp.ini");
  }

  std::string endpointIni = folder + "endpoint.ini";
  if (fileExists(endpointIni)) {
    std::string url = loadList(endpointIni).value("url");
    if (!url.empty()) g.apiEndpoint = url;
  }

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
  channel->setHeader("x-serviceapp", header.dump(-1, ' ', true));

  TExtChannel::setGlobalInstance(std::move(channel));
}

std::string generateNewID() {
  unsigned char bytes[16];
  std::ifstream random("/dev/urandom", std::ios::binary);
  if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes)) throw Exception("generateNewID failed");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static const char* const hex = "0123456789ABCDEF";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += hex[bytes[i] >> 4];
    id += hex[bytes[i] & 15];
  }
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ticks =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
  return id + "-" + std::to_string(ticks).substr(0, 4);
}

std::string MyID() {
  std::string result;
  try {
    TKNAppData identity("Identity", "Kestrane", true, false);
    identity.hideAppFolder();
    const std::string primary = identity.appFolder + "PCID.ini";
    const std::string fallback = exeFolder() + "PCID.ini";
    FileLock lock(identity.appFolder + ".PCID.lock");

    TNameValueList lines;
    lines.loadFromText(readIfPresent(primary));
    if (lines.size() == 0) lines.loadFromText(readIfPresent(fallback));
    const std::string name = "x" + computerName();
    result = lines.value(name);
    if (result.empty()) {
      result = generateNewID();
      lines.setValue(name, result);
      writeFileAtomic(primary, lines.text(), 0600);
      writeFileAtomic(fallback, lines.text(), 0600);
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
  logMsg("GPO! " + store.Params.commaText());
  std::string key = store.Get("\\apikey");
  logMsg("GPO APIKEY? [" + key + "]");
  return key;
}

std::string decodeAPIKey(const std::string& stored) {
  if (stored.empty()) return std::string();
  try {
    return decipherBytes(base64Decode(stored));
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
      logMsg("Loaded api key: " + stored);
    }
  }
  g.hasAPIKey = !g.apiKey.empty();
  return g.apiKey;
}

}  // namespace kn
