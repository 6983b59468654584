#include "knWebUpdateChecker.h"

#include <cstdint>
#include <cstdlib>

#include "KNClock.h"
#include "KNEnv.h"
#include "KNNameValueList.h"
#include "KNSysInfo.h"
#include "KNTextCodec.h"
#include "KNVersion.h"
#include "UpdateStop.h"
#include "knHttpGet.h"

namespace kn {
namespace {

constexpr const char* kBuiltInServerBase = "http://updates.kestrane.example/";

}  // namespace

std::string updateServerBase() {
  const char* env = std::getenv("KN_UPDATE_URL");
  std::string base = env && *env ? env : config().updateUrl();
  if (base.empty()) base = kBuiltInServerBase;
  if (base.back() != '/') base += '/';
  return base;
}

std::string queryValue(std::string_view value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (c == '(' || c == ')' || c == ',') continue;
    if (c == ' ') c = '-';
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string trimVersion(std::string_view text) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
  };
  for (bool trimmed = true; trimmed && !text.empty();) {
    trimmed = false;
    if (blank(text.front())) text.remove_prefix(1), trimmed = true;
    if (!text.empty() && blank(text.back())) text.remove_suffix(1), trimmed = true;
    if (text.starts_with(kBom)) text.remove_prefix(kBom.size()), trimmed = true;
    if (text.ends_with(kBom)) text.remove_suffix(kBom.size()), trimmed = true;
  }
  return std::string(text);
}

UpdateVerdict readUpdateAnswer(std::string_view body, const std::string& appversion) {
  TNameValueList answer;
  answer.loadFromText(decodeText(body.substr(0, kMaxAnswerBytes)));
  if (trimVersion(answer.value("blocked")) == "1") return {"BLOCKED", ""};
  UpdateVerdict v{"UNKNOWN", trimVersion(answer.value("version"))};
  if (!v.newversion.empty())
    v.result = v.newversion == trimVersion(appversion) ? "UPDATED" : "UPDATEREQUIRED";
  return v;
}

std::string updateCheckURL() { return updateServerBase() + "webupdate.php3?"; }

std::string formatSystemDescription(const std::string& name, int major, int minor, int build, int servicePack,
                                    bool is64) {
  std::string edition = is64 ? "64-bit Edition" : "32-bit Edition";
  std::string version = "(Version " + std::to_string(major) + "." + std::to_string(minor) + ", Build " +
                        std::to_string(build) + ", " + edition + ")";
  if (servicePack > 0) return name + " Service Pack " + std::to_string(servicePack) + " " + version;
  return name + " " + version;
}

TKNWebUpdateChecker::TKNWebUpdateChecker(std::string exename, std::string appid, bool sysdets, bool userdets,
                                         std::string customUN, std::string folder)
    : sysdets_(sysdets),
      userDets_(userdets),
      exename_(std::move(exename)),
      appid_(std::move(appid)),
      customUN_(std::move(customUN)),
      folder_(std::move(folder)) {}

void TKNWebUpdateChecker::addParam(const std::string& key, const std::string& value) {
  std::string clean = queryValue(value);
  for (auto it = params_.begin(); it != params_.end(); ++it) {
    if (it->first != key) continue;
    if (clean.empty())
      params_.erase(it);
    else
      it->second = clean;
    return;
  }
  if (!clean.empty()) params_.emplace_back(key, clean);
}

void TKNWebUpdateChecker::Execute(const std::stop_token& stop) {
  std::string query;
  try {
    appversion_ = fileVersion(folder_ + exename_);
    resvalue_ = "ERROR";
    std::string serial = volumeSerialNumber('C');
    std::erase(serial, '-');
    addParam("sys", systemDescription());
    addParam("cname", computerName());
    addParam("own", registeredOwner());
    addParam("company", registeredOrganization());
    addParam("un", customUN_.empty() ? userName() : customUN_);
    addParam("hds", serial);
    addParam("exe", exename_);
    addParam("id", appid_);
    addParam("appver", appversion_);
    // A tick count (milliseconds, 32 bits) that makes every check's address a new one.
    query = "ck=" + std::to_string(static_cast<std::uint32_t>(appClock().steady().count()));
    for (const auto& [key, value] : params_) query += "&" + key + "=" + value;
  } catch (const std::exception&) {
    resvalue_ = "EXCEPTION";
    return;
  }

  try {
    params_.clear();
    std::string body;
    try {
      body = httpGetText(updateCheckURL() + query, kMaxAnswerBytes, stop);
    } catch (const EHttpError&) {
      // No answer, or one beyond its bound, reads as an empty one.
    }
    UpdateVerdict verdict = readUpdateAnswer(body, appversion_);
    resvalue_ = verdict.result;
    newversion_ = verdict.newversion;
  } catch (const EUpdateStopped&) {
    throw;
  } catch (const std::exception&) {
    // resvalue_ keeps "ERROR"
  }
}

}  // namespace kn
