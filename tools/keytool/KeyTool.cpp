#include "KeyTool.h"

#include <filesystem>
#include <istream>
#include <optional>
#include <sstream>

#include "APIKeyCipher.h"
#include "KNLib.h"
#include "KNPath.h"
#include "KNRegistry.h"
#include "serviceAppGlobals.h"

namespace kn {
namespace {

constexpr const char* kUsage =
    "usage: kn-apikey [--app <appid>] set                store the API key (enciphered) for the agent,\n"
    "                                                    read from standard input (\"set -\" too)\n"
    "       kn-apikey [--app <appid>] set --file <path>  read the key from the first line of a file\n"
    "       kn-apikey [--app <appid>] status             tell whether a key is stored (exit 0 yes, 1 no,\n"
    "                                                    3 stored but unreadable to the agent)\n"
    "       kn-apikey [--app <appid>] clear              remove the stored key\n"
    "\n"
    "The key is stored, enciphered, in HKEY_LOCAL_MACHINE\\Software\\Kestrane\\.ak_<appid> (on Linux in\n"
    "the hive $KN_SYSROOT/etc/kestrane/HKLM.reg); the agent reads it when it starts.\n"
    "\"set <key>\" works too, but other users can see a command line; prefer standard input.\n"
    "<appid> defaults to zarodirazev. Exit codes: 0 done, 1 no key stored, 2 usage, 3 failure.\n";

// No key is longer than plausibleKey() allows; reading stops here, so no input can grow memory.
constexpr size_t kMaxKeyInput = 4096;

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

// The first line of `in` without its line end, read up to kMaxKeyInput bytes; nullopt when the
// input ends before any byte.
std::optional<std::string> firstLine(std::istream& in) {
  std::string line;
  char c;
  bool any = false;
  while (line.size() < kMaxKeyInput && in.get(c)) {
    any = true;
    if (c == '\n') break;
    line += c;
  }
  if (!any) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The first line of the regular file `path`. Throws EOSError when it cannot be read.
std::string firstLineOfFile(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(fsPath(path), ec);
  if (ec) throwOSError("Cannot read file \"" + path + "\"", ec.value());
  if (status.type() != std::filesystem::file_type::regular)
    throw EOSError("Cannot read file \"" + path + "\". It is not a regular file");
  std::istringstream text(os().readFile(path, kMaxKeyInput));
  return firstLine(text).value_or("");
}

}  // namespace

int runKeyTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
               bool prompt) {
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
  if (command != "set" && command != "status" && command != "clear")
    return usage(err, "unknown command '" + command + "'");
  // set [- | <key> | --file <path>]
  const bool fromFile = command == "set" && rest.size() >= 2 && rest[1] == "--file";
  const size_t maxArgs = command != "set" ? 1u : fromFile ? 3u : 2u;
  const size_t minArgs = fromFile ? 3u : 1u;
  if (rest.size() < minArgs || rest.size() > maxArgs)
    return usage(err, "wrong number of arguments for '" + command + "'");

  const std::string key = storedAPIKeyPath(appid);
  try {
    const auto reg = registry();
    if (command == "set") {
      std::string plain;
      if (fromFile) {
        plain = firstLineOfFile(rest[2]);
      } else if (rest.size() == 2 && rest[1] != "-") {
        plain = rest[1];
        err << "kn-apikey: warning: a key on the command line can be seen by other users (ps) and stays "
               "in the shell's history; give it on standard input or with --file instead\n";
      } else {
        if (prompt) err << "API key: " << std::flush;
        std::optional<std::string> line = firstLine(in);
        if (prompt) err << "\n";
        if (!line) return usage(err, "no key on standard input");
        plain = *line;
      }
      if (!plausibleKey(plain))
        return usage(err, "a key is 1 to 1024 printable ASCII characters without spaces");
      reg->writeString(HKEY_LOCAL_MACHINE, key, kStoredAPIKeyValue, encodeStoredAPIKey(plain));
      out << "API key stored for " << appid << "; restart the agent to use it.\n";
      return kKeyToolOK;
    }
    if (command == "status") {
      auto stored = reg->readString(HKEY_LOCAL_MACHINE, key, kStoredAPIKeyValue);
      if (!stored || stored->empty()) {
        out << "no API key stored for " << appid << "\n";
        return kKeyToolNoKey;
      }
      try {
        decodeStoredAPIKey(*stored);
      } catch (const std::exception& e) {
        err << "kn-apikey: the API key stored for " << appid << " cannot be deciphered (" << e.what()
            << "); store it again with 'set'\n";
        return kKeyToolFailed;
      }
      out << "an API key is stored for " << appid << "\n";
      return kKeyToolOK;
    }
    // clear
    bool removed = reg->deleteValue(HKEY_LOCAL_MACHINE, key, kStoredAPIKeyValue);
    out << (removed ? "API key removed for " : "no API key was stored for ") << appid << "\n";
    return kKeyToolOK;
  } catch (const std::exception& e) {
    err << "kn-apikey: " << e.what() << "\n";
    return kKeyToolFailed;
  }
}

}  // namespace kn
