// The installer's own steps, which Windows Installer's tables cannot express, called from the
// MSI's CustomAction table (kestrane-agent.wxs). Each runs deferred, as LocalSystem, and takes its
// input from CustomActionData, which the MSI sets from public properties just before; a value left
// empty changes nothing on the machine. A failure is written to the installer's log and fails the
// install, which Windows Installer then rolls back; the key never reaches the log.
//
//   AwaitServicesStopped  "<service>|<service>..."   after StopServices: until they have ended
//   QuoteServicePaths     "<service>|<service>..."   after InstallServices: image paths in quotes
//   WriteEndpoint         "<INSTALLDIR>|<URL>"        "endpoint.ini"
//   WriteUpdaterSettings  "<INSTALLDIR>|<PUBLICKEY>|<UPDATEURL>"  the updater's configuration and key
//   StoreApiKey           "<APIKEY>"                  stored as kn-apikey stores it
//   RemoveLeftovers       "<INSTALLDIR>"              on removal (not an upgrade's): what the programs made
//   NoteUpgrade, ForgetUpgrade                        around an upgrade's removal of the older version
//
// INSTALLDIR is a folder and PUBLICKEY a folder's file or Base64, so neither holds a "|"; the last
// item is taken whole.
#include <windows.h>
// (after windows.h)
#include <msi.h>
#include <msiquery.h>

#include <ctime>
#include <cwchar>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "InstallSettings.h"
#include "KNAtomicFile.h"
#include "KNException.h"
#include "KNLib.h"
#include "KNOs.h"
#include "KNPath.h"
#include "KNServiceHandleWin.h"
#include "KNWinText.h"
#include "KeyTool.h"
#include "serviceAppGlobals.h"

namespace {

using namespace kn;

constexpr const char* kAppId = "zarodirazev";
constexpr size_t kMaxPublicKeyFile = 64 * 1024;

std::string property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t none[1] = L"";
  if (::MsiGetPropertyW(install, name, none, &size) != ERROR_MORE_DATA) return "";
  std::wstring value(++size, L'\0');
  if (::MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return "";
  value.resize(size);
  return win::narrow(value);
}

// One line in the installer's log (and, for an error, the message a user is shown).
void tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::string& text) {
  PMSIHANDLE record = ::MsiCreateRecord(1);
  ::MsiRecordSetStringW(record, 0, win::wide("Kestrane: " + text).c_str());
  ::MsiProcessMessage(install, kind, record);
}

// Splits `data` at its first `count` "|"; the last item is the rest, "|" and all.
std::vector<std::string> items(const std::string& data, size_t count) {
  std::vector<std::string> out;
  size_t from = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t bar = data.find('|', from);
    if (bar == std::string::npos) break;
    out.push_back(data.substr(from, bar - from));
    from = bar + 1;
  }
  out.push_back(data.substr(from));
  out.resize(count + 1);
  return out;
}

// Each item of a "|" list.
template <class Each>
void forEachItem(const std::string& list, Each each) {
  for (size_t from = 0;;) {
    const size_t bar = list.find('|', from);
    const std::string item = list.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
    if (!item.empty()) each(item);
    if (bar == std::string::npos) return;
    from = bar + 1;
  }
}

// Runs one action: its exception fails the install with its message.
template <class Body>
UINT act(MSIHANDLE install, const char* name, Body body) {
  try {
    body(property(install, L"CustomActionData"));
    return ERROR_SUCCESS;
  } catch (const std::exception& e) {
    tell(install, INSTALLMESSAGE_ERROR, std::string(name) + ": " + e.what());
    return ERROR_INSTALL_FAILURE;
  }
}

std::string lastError() { return os().errorText(static_cast<int>(::GetLastError())); }

// The text of the settings file `path`, "" when there is none.
std::string readIfPresent(const std::string& path, size_t maxBytes = 1 << 20) {
  std::error_code ec;
  if (!std::filesystem::exists(fsPath(path), ec)) return "";
  return os().readFile(path, maxBytes);
}

// The image path of `service` in quotes. Windows Installer quotes the paths it registers; Wine's
// does not, and a path with a blank ("C:\Program Files\...") could then be read as
// "C:\Program.exe" with arguments.
void quoteImagePath(const std::string& service) {
  win::ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) throw Exception("cannot open the service manager: " + lastError());
  win::ServiceHandle handle(::OpenServiceW(manager.get(), win::wide(service).c_str(),
                                           SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
  if (!handle) throw Exception("cannot open the service " + service + ": " + lastError());
  DWORD size = 0;
  ::QueryServiceConfigW(handle.get(), nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(handle.get(), config, size, &size))
    throw Exception("cannot read the service " + service + ": " + lastError());
  const std::wstring path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  if (path.empty() || path.front() == L'"') return;
  const std::wstring quoted = L"\"" + path + L"\"";
  if (!::ChangeServiceConfigW(handle.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
    throw Exception("cannot change the service " + service + ": " + lastError());
}

// Waits up to 30 s for `service` to be stopped and its process gone; true once it is (or when there
// is no such service).
bool awaitStopped(const std::string& service) {
  win::ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  win::ServiceHandle handle(
      manager ? ::OpenServiceW(manager.get(), win::wide(service).c_str(), SERVICE_QUERY_STATUS) : nullptr);
  if (!handle) return true;
  const ULONGLONG deadline = ::GetTickCount64() + 30000;
  DWORD process = 0;
  for (;;) {
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!::QueryServiceStatusEx(handle.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &size))
      return true;  // deleted meanwhile
    if (status.dwProcessId) process = status.dwProcessId;
    if (status.dwCurrentState == SERVICE_STOPPED) break;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(100);
  }
  if (HANDLE running = process ? ::OpenProcess(SYNCHRONIZE, FALSE, process) : nullptr) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    const bool ended = ::WaitForSingleObject(running, left) == WAIT_OBJECT_0;
    ::CloseHandle(running);
    return ended;
  }
  return true;
}

// The PEM text of a PUBLICKEY value: the key's Base64 line itself, or the PEM file it names.
std::string publicKeyPem(const std::string& value) {
  if (setup::isInlinePublicKey(value)) return setup::ed25519PublicKeyPem(value);
  if (!fsPath(value).is_absolute())
    throw Exception("PUBLICKEY is neither a key nor a file's full path: " + value);
  return setup::ed25519PublicKeyPem(os().readFile(value, kMaxPublicKeyFile));
}

// The key tool on `input`; its message when it fails.
void keyTool(const std::vector<std::string>& args, const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out, err;
  if (runKeyTool(args, in, out, err) != kKeyToolOK) {
    std::string message = err.str();
    // Its usage text says nothing to whoever runs an installer: its first line is the reason.
    message = message.substr(0, message.find('\n'));
    throw Exception(message.rfind("kn-apikey: ", 0) == 0 ? message.substr(11) : message);
  }
}

// An upgrade first removes the older version, whose RemoveLeftovers must then keep everything.
// Windows tells that removal so (UPGRADINGPRODUCTCODE, in the action's condition); Wine's msiexec
// runs it as a plain removal. So the newer version notes the time it starts in the registry, and a
// removal within ten minutes of it is taken for the upgrade's. The note goes once the upgrade has
// written its settings; one left by an upgrade that failed early lapses by itself.
constexpr const wchar_t* kSetupKey = L"Software\\Kestrane\\Setup";
constexpr const wchar_t* kUpgradeStarted = L"UpgradeStarted";
constexpr long long kUpgradeWindowSeconds = 600;

long long nowSeconds() { return static_cast<long long>(std::time(nullptr)); }

bool upgradeUnderWay() {
  wchar_t text[32] = L"";
  DWORD size = sizeof text;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSetupKey, kUpgradeStarted, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY,
                     nullptr, text, &size) != ERROR_SUCCESS)
    return false;
  const long long age = nowSeconds() - std::wcstoll(text, nullptr, 10);
  return age >= 0 && age < kUpgradeWindowSeconds;
}

void removeQuietly(MSIHANDLE install, const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(fsPath(path), ec);
  if (ec) tell(install, INSTALLMESSAGE_INFO, "could not remove " + path + ": " + ec.message());
}

}  // namespace

extern "C" {

__declspec(dllexport) UINT __stdcall QuoteServicePaths(MSIHANDLE install) {
  return act(install, "QuoteServicePaths",
             [&](const std::string& data) { forEachItem(data, quoteImagePath); });
}

// After StopServices: Windows Installer waits for each service to stop, Wine's only asks it to.
// Nothing may be removed or replaced under a program that still runs, so this waits for each
// service, and then its process, to end: at most the services' stop wait hint, 30 s, for each.
__declspec(dllexport) UINT __stdcall AwaitServicesStopped(MSIHANDLE install) {
  return act(install, "AwaitServicesStopped", [&](const std::string& data) {
    forEachItem(data, [&](const std::string& service) {
      if (!awaitStopped(service))
        tell(install, INSTALLMESSAGE_INFO, "the service " + service + " did not stop in time");
    });
  });
}

__declspec(dllexport) UINT __stdcall WriteEndpoint(MSIHANDLE install) {
  return act(install, "WriteEndpoint", [&](const std::string& data) {
    const auto item = items(data, 1);
    const std::string &folder = item[0], &url = item[1];
    if (url.empty()) return;
    const std::string file = folder + "endpoint.ini";
    writeFileAtomic(file, setup::endpointWithUrl(readIfPresent(file), url));
    tell(install, INSTALLMESSAGE_INFO, "the agent's endpoint is " + url);
  });
}

__declspec(dllexport) UINT __stdcall WriteUpdaterSettings(MSIHANDLE install) {
  return act(install, "WriteUpdaterSettings", [&](const std::string& data) {
    const auto item = items(data, 2);
    const std::string &folder = item[0], &publicKey = item[1], &updateUrl = item[2];
    const std::string file = folder + "svcupdater.execonfig";
    const std::string present = readIfPresent(file);
    if (!present.empty() && updateUrl.empty() && publicKey.empty()) return;
    if (!publicKey.empty()) writeFileAtomic(folder + setup::kPublicKeyFile, publicKeyPem(publicKey));
    writeFileAtomic(
        file, setup::updaterConfigWith(present, updateUrl, publicKey.empty() ? "" : setup::kPublicKeyFile));
    tell(install, INSTALLMESSAGE_INFO, "the updater's configuration is written");
  });
}

__declspec(dllexport) UINT __stdcall StoreApiKey(MSIHANDLE install) {
  return act(install, "StoreApiKey", [&](const std::string& key) {
    if (key.empty()) return;
    keyTool({"--app", kAppId, "set"}, key + "\n");
    tell(install, INSTALLMESSAGE_INFO, "the API key is stored");
  });
}

// Uninstall keeps nothing that holds the key: the stored key, the logs (their lines carry it) and
// the settings beside the programs go; the machine's identity and the agent's data stay in
// ProgramData, so that a machine installed again is the same machine to the platform. Nothing here
// fails the removal.
__declspec(dllexport) UINT __stdcall RemoveLeftovers(MSIHANDLE install) {
  return act(install, "RemoveLeftovers", [&](const std::string& folder) {
    if (upgradeUnderWay()) {
      tell(install, INSTALLMESSAGE_INFO, "an upgrade removes this version: the settings, key and logs stay");
      return;
    }
    try {
      keyTool({"--app", kAppId, "clear"}, "");
    } catch (const std::exception& e) {
      tell(install, INSTALLMESSAGE_INFO, std::string("could not remove the stored API key: ") + e.what());
    }
    const std::string key = storedAPIKeyPath(kAppId);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, win::wide(key).c_str(), KEY_WOW64_64KEY, 0);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, win::wide(key.substr(0, key.rfind('\\'))).c_str(), KEY_WOW64_64KEY,
                      0);
    if (folder.empty()) return;
    for (const char* name :
         {"logs", ".kn-updater", "endpoint.ini", "svcupdater.execonfig", setup::kPublicKeyFile, "PCID.ini"})
      removeQuietly(install, folder + name);
  });
}

// Immediate, before RemoveExistingProducts: the upgrade's note.
__declspec(dllexport) UINT __stdcall NoteUpgrade(MSIHANDLE install) {
  const std::wstring now = std::to_wstring(nowSeconds());
  const LSTATUS status =
      ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSetupKey, kUpgradeStarted, REG_SZ, now.c_str(),
                        static_cast<DWORD>((now.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS)
    tell(install, INSTALLMESSAGE_INFO,
         "could not note the upgrade: " + os().errorText(static_cast<int>(status)));
  return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall ForgetUpgrade(MSIHANDLE) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) ==
      ERROR_SUCCESS) {
    ::RegDeleteValueW(key, kUpgradeStarted);
    ::RegCloseKey(key);
  }
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, KEY_WOW64_64KEY, 0);  // only when nothing else is in it
  return ERROR_SUCCESS;
}

}  // extern "C"
