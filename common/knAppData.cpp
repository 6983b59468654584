#include "knAppData.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>

#include "KNException.h"
#include "KNLib.h"
#include "KNPath.h"
#include "knAppDataFolders.h"

namespace fs = std::filesystem;

namespace kn {
namespace {

std::unique_ptr<TKNAppData> processAppData;

void createFolder(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(fsPath(folder), ec);  // not reported: later file operations fail visibly
}

// yyyy-mm-dd-hh-nn-ss-zzz of the local time now.
std::string localStamp() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localCalendar(t, tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d-%02d-%02d-%02d-%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

// 0..1000: a random fraction times 1000, to the nearest integer (ties to even).
int randomPart() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return static_cast<int>(std::nearbyint(std::uniform_real_distribution<double>(0.0, 1.0)(gen) * 1000.0));
}

}  // namespace

TKNAppData::TKNAppData(const std::string& asubfolder, const std::string& acompanyName, bool commonAppData,
                       bool localAppdata)
    : subFolder(asubfolder), companyName(acompanyName) {
  if (commonAppData && localAppdata)
    throw Exception("TKNAppData: cannot specify commonAppData and localAppData at the same time");
  std::string base = shellFolder(commonAppData  ? ShellFolder::CommonAppData
                                 : localAppdata ? ShellFolder::LocalAppData
                                                : ShellFolder::RoamingAppData);
  while (!base.empty() && base.back() == '/') base.pop_back();
  appFolder = base + "/" + companyName + "/" + subFolder + "/";
  createFolder(appFolder);
  tempFolder = appFolder + "Temp/";
  createFolder(tempFolder);
  logfolder = appFolder + "Logs/";
  createFolder(logfolder);
  emptyTemp();
}

TKNAppData::~TKNAppData() {
  if (!tempFolder.empty()) emptyTemp();
}

void TKNAppData::emptyTemp() {
  // Every file below Temp goes, in subfolders too; the folders stay. Symbolic links are removed
  // themselves and never followed, so nothing outside Temp is touched.
  std::error_code ec;
  fs::recursive_directory_iterator it(fsPath(tempFolder), fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (!it->is_directory(ignored) || it->is_symlink(ignored)) fs::remove(it->path(), ignored);
  }
}

void TKNAppData::Init(const std::string& aSubFolder, const std::string& aCompanyName, bool commonAppData) {
  processAppData.reset();
  processAppData = std::make_unique<TKNAppData>(aSubFolder, aCompanyName, commonAppData, false);
}

void TKNAppData::hideAppFolder() { hideFolder(appFolder); }

std::string TKNAppData::getTempFN(const std::string& extension) {
  for (int tries = 1;; ++tries) {
    std::string candidate = tempFolder + localStamp() + "-" + std::to_string(randomPart()) + "." + extension;
    if (tries >= 1000) throw Exception("TKNAppData: Could not create temporary file after 1000 tries");
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(fsPath(candidate), ec))) return candidate;
  }
}

TKNAppData* appData() { return processAppData.get(); }

void releaseAppData() { processAppData.reset(); }

}  // namespace kn
