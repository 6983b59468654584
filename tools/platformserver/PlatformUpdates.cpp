#include "PlatformUpdates.h"

#include <filesystem>
#include <fstream>

namespace kn::platform {

namespace fs = std::filesystem;

bool isSafeAppId(std::string_view appid) {
  if (appid.empty() || appid.size() > 100 || appid.front() == '.') return false;
  for (char c : appid) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

UpdateAnswer answerUpdateCheck(const std::string& packageDir, const std::string& appid) {
  if (!isSafeAppId(appid)) return {400, "invalid application id\r\n"};
  if (packageDir.empty()) return {404, "no package folder configured\r\n"};
  std::ifstream in(fs::path(packageDir) / (appid + ".version"), std::ios::binary);
  std::string version;
  if (!in || !std::getline(in, version)) return {404, "unknown application\r\n"};
  if (!version.empty() && version.back() == '\r') version.pop_back();
  UpdateAnswer answer;
  std::error_code ec;
  if (fs::exists(fs::path(packageDir) / (appid + ".blocked"), ec)) answer.body += "blocked=1\r\n";
  answer.body += "version=" + version + "\r\n";
  return answer;
}

namespace {

std::optional<std::string> fileOf(const std::string& packageDir, const std::string& appid,
                                  const char* suffix) {
  if (packageDir.empty() || !isSafeAppId(appid)) return std::nullopt;
  fs::path p = fs::path(packageDir) / (appid + suffix);
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return std::nullopt;
  return p.string();
}

}  // namespace

std::optional<std::string> packageFile(const std::string& packageDir, const std::string& appid) {
  return fileOf(packageDir, appid, ".pkg");
}

std::optional<std::string> signatureFile(const std::string& packageDir, const std::string& appid) {
  return fileOf(packageDir, appid, ".pkg.sig");
}

}  // namespace kn::platform
