#include "KeyTool.h"

#include <istream>

#include "APIKeyCipher.h"
#include "KNRegistry.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

constexpr const char* kUsage =
    "usage: kn-apikey [--app <appid>] set <key>   store the API key (enciphered) for the agent\n"
    "       kn-apikey [--app <appid>] set -       read the key from standard input instead\n"
    "       kn-apikey [--app <appid>] status      tell whether a key is stored (exit 0 yes, 1 no)\n"
    "       kn-apikey [--app <appid>] clear       remove the stored key\n"
    "\n"
    "The key is stored in $KN_SYSROOT/etc/kestrane/HKLM.reg; the agent reads it when it starts.\n"
    "<appid> defaults to zarodirazev. Exit codes: 0 done, 1 no key stored, 2 usage, 3 failure.\n";

int usage(std::ostream& err, const std::string& problem) {
  if (!problem.empty()) err << "kn-apikey: " << problem << "\n";
  err << kUsage;
  return kKeyToolUsage;
}

// Keys travel in an HTTP header and a one-line hive value: printable ASCII only.
bool plausibleKey(const std::string& key) {
  if (key.empty() || key.size() > 1024) return false;
  for (unsigned char c : key) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

int runKeyTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  std::string appid = "zarodirazev";
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-h" || args[i] == "--help") {
      out << kUsage;
      return kKeyToolOK;
    }
    if (args[i] == "--app") {
      if (++i == args.size()) return usage(err, "--app needs an application id");
      appid = args[i];
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.empty()) return usage(err, "");
  if (applicationName(appid).empty()) return usage(err, "unknown application id '" + appid + "'");

  const std::string& command = rest[0];
  const bool takesKey = command == "set";
  if (rest.size() != (takesKey ? 2u : 1u))
    return usage(err, "wrong number of arguments for '" + command + "'");

  const std::string key = storedAPIKeyPath(appid);
  try {
    TRegistry& reg = *registry();
    if (command == "set") {
      std::string plain = rest[1];
      if (plain == "-" && !std::getline(in, plain)) return usage(err, "no key on standard input");
      if (!plain.empty() && plain.back() == '\r') plain.pop_back();
      if (!plausibleKey(plain))
        return usage(err, "a key is 1 to 1024 printable ASCII characters without spaces");
      reg.writeString(HKEY_LOCAL_MACHINE, key, kStoredAPIKeyValue, encodeStoredAPIKey(plain));
      out << "API key stored for " << appid << "; restart the agent to use it.\n";
      return kKeyToolOK;
    }
    if (command == "status") {
      auto stored = reg.readString(HKEY_LOCAL_MACHINE, key, kStoredAPIKeyValue);
      if (!stored || stored->empty()) {
        out << "no API key stored for " << appid << "\n";
        return kKeyToolNoKey;
      }
      out << "an API key is stored for " << appid << "\n";
      return kKeyToolOK;
    }
    if (command == "clear") {
      bool removed = reg.deleteValue(HKEY_LOCAL_MACHINE, key, kStoredAPIKeyValue);
      out << (removed ? "API key removed for " : "no API key was stored for ") << appid << "\n";
      return kKeyToolOK;
    }
  } catch (const std::exception& e) {
    err << "kn-apikey: " << e.what() << "\n";
    return kKeyToolFailed;
  }
  return usage(err, "unknown command '" + command + "'");
}

}  // namespace kn
