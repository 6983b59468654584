// One update check of one watched application: its installed version and a few machine details
// go to the update server as the query of one GET, and the server's name=value answer becomes
// one result word. The server decides; we only ask whether its version text differs from ours.
// A checker serves one check on one thread and writes no log lines.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "globals.h"

namespace kn {

// The largest answer of the update check that is read; a longer one is abandoned and reads as no
// answer.
inline constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

// The update server base, ending in "/": KN_UPDATE_URL when set, else the configuration's
// "updateurl", else the built-in address.
std::string updateServerBase();
// updateServerBase() followed by "webupdate.php3?".
std::string updateCheckURL();

// The operating system's description in the form the server knows, for example
// "Windows 7 Service Pack 1 (Version 6.1, Build 7601, 64-bit Edition)"; no service pack part when
// `servicePack` is 0.
std::string formatSystemDescription(const std::string& name, int major, int minor, int build, int servicePack,
                                    bool is64);

// This system's description as the check reports it (the platform half, knWebUpdateCheckerLinux.cpp):
// on Linux the distribution's name, the kernel's version as major.minor and its patch level as build.
std::string systemDescription();

// `value` as it goes into the query: spaces become "-", brackets and commas are dropped, and then
// every byte outside RFC 3986's unreserved set (letters, digits, "-", ".", "_", "~") is
// percent-encoded, so no value can end the query, add a parameter or start a fragment.
std::string queryValue(std::string_view value);

// A version text as it is compared: without blanks or byte-order marks around it.
std::string trimVersion(std::string_view text);

// What an answer of the update server means for an installed version `appversion`: the result
// word ("BLOCKED", "UNKNOWN", "UPDATED" or "UPDATEREQUIRED") and the server's version text, both
// versions trimmed (trimVersion) before they are compared.
// `body` is the answer's raw bytes (a byte-order mark selects UTF-8 or UTF-16).
struct UpdateVerdict {
  std::string result;
  std::string newversion;
};
UpdateVerdict readUpdateAnswer(std::string_view body, const std::string& appversion);

class TKNWebUpdateChecker {
 public:
  // `folder` is where `exename` lives, ending in "/". Sends nothing yet.
  TKNWebUpdateChecker(std::string exename, std::string appid, bool sysdets, bool userdets,
                      std::string customUN, std::string folder = updaterFolder());

  // Asks the server and sets the result. Throws only EUpdateStopped, when `stop` was requested
  // before the answer was read: an answer that comes after a stop is never acted on. Otherwise a
  // failure before the request gives "EXCEPTION", one while asking or reading gives "ERROR", no
  // reachable server "UNKNOWN".
  void Execute(const std::stop_token& stop = {});

  // "UNKNOWN", "ERROR", "EXCEPTION", "BLOCKED", "UPDATED" or "UPDATEREQUIRED".
  const std::string& resultvalue() const { return resvalue_; }
  // The installed file version ("0.0.0.0" without a readable one) and the server's version text.
  const std::string& appversion() const { return appversion_; }
  const std::string& newversion() const { return newversion_; }

 private:
  void addParam(const std::string& key, const std::string& value);

  bool sysdets_;
  bool userDets_;
  std::string exename_;
  std::string appid_;
  std::string customUN_;
  std::string folder_;
  std::string resvalue_ = "UNKNOWN";
  std::string appversion_;
  std::string newversion_;
  std::vector<std::pair<std::string, std::string>> params_;
};

}  // namespace kn
