// The update server's side of the updater's check and download, answered from a folder.
//
// For an application id APP the folder holds:
//   APP.version  its current version text (first line; the line end is not part of it)
//   APP.pkg      its package, served as it is
//   APP.pkg.sig  optional; the package's detached Ed25519 signature (64 raw bytes), served as it is
//   APP.blocked  optional; when present the answer says blocked=1
// The check's answer is plain text, one name=value line each, ending in CR LF.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kn::platform {

// An id that names files in the folder safely: 1 to 100 characters of letters, digits, ".", "_"
// and "-", not starting with ".".
bool isSafeAppId(std::string_view appid);

struct UpdateAnswer {
  int status = 200;  // 404 for an unknown application, 400 for an unsafe id
  std::string body;
};

// The answer to "webupdate.php3?...&id=APP&...". An unknown application is answered 404 with a
// text that holds no name=value line, which the updater reads as "UNKNOWN".
UpdateAnswer answerUpdateCheck(const std::string& packageDir, const std::string& appid);

// The package file of `appid`, when the id is safe and the file exists.
std::optional<std::string> packageFile(const std::string& packageDir, const std::string& appid);

// The signature file of `appid`'s package, when the id is safe and the file exists.
std::optional<std::string> signatureFile(const std::string& packageDir, const std::string& appid);

}  // namespace kn::platform
