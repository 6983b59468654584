#include "WUServiceUpdater.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "KNEnv.h"
#include "KNLib.h"
#include "KNServiceControl.h"
#include "PackageSignature.h"
#include "UpdateStop.h"
#include "globals.h"
#include "knHttpGet.h"
#include "knLOG2.h"
#include "knWebUpdateChecker.h"
#include "KNPath.h"

namespace kn {
namespace {

// The SHA-256 of the file's bytes, in lower-case hex.
std::string sha256File(const std::string& path) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::ifstream in(path, std::ios::binary);
  if (!ctx || !in || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    throw Exception("Cannot read " + path);
  std::vector<char> buf(64 * 1024);
  while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0)
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(in.gcount()));
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &n);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

// A fresh file "<appid>-XXXXXX<suffix>" in `dir`, its characters outside [A-Za-z0-9._-] as "_".
std::string uniqueFile(const std::string& dir, const std::string& appid, const std::string& suffix) {
  std::string stem = appid.substr(0, 64);
  for (char& c : stem)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 rng{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = dir + stem + "-";
    for (int i = 0; i < 6; ++i) path += kLetters[rng() % (sizeof kLetters - 1)];
    path += suffix;
    try {
      os().createFile(path, 0600)->close();
      return path;
    } catch (const EOSError&) {
      std::error_code ec;
      if (!std::filesystem::exists(std::filesystem::symlink_status(fsPath(path), ec))) throw;  // not a name taken
    }
  }
  throw EOSError("Cannot create a file in " + dir);
}

// The bare name of `path` when it lies in `folder`, else "".
std::string nameIn(const std::string& folder, const std::string& path) {
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return "";
  std::string rest = path.substr(folder.size());
  return rest.find_first_of(kPathSeparators) == std::string::npos ? rest : "";
}

}  // namespace

std::vector<std::string> TWUServiceUpdater::ownFiles() const {
  std::vector<std::string> names;
  std::vector<std::string> paths{configPath(), publicKey_};
  try {
    paths.push_back(os().executablePath());
  } catch (const EOSError&) {
  }
  for (const std::string& path : paths)
    if (std::string name = nameIn(folder_, path); !name.empty()) names.push_back(name);
  return names;
}

TWUServiceUpdater::TWUServiceUpdater(std::string exename, std::string appid, std::string service,
                                     std::string folder, std::string publicKey)
    : exename_(std::move(exename)),
      appid_(std::move(appid)),
      service_(std::move(service)),
      folder_(std::move(folder)),
      publicKey_(std::move(publicKey)) {}

TWUServiceUpdater::~TWUServiceUpdater() {
  prepared_.reset();  // its temporary files first
  dropDownload();
}

void TWUServiceUpdater::updLog(const std::string& text) const { logTo(exename_, "UPD: " + text); }

void TWUServiceUpdater::dropDownload() {
  if (!download_.empty()) std::remove(download_.c_str());
  download_.clear();
}

bool TWUServiceUpdater::Execute(const std::string& skipHash) {
  doDownload();
  if (!skipHash.empty() && hash_ == skipHash) return false;
  checkDownload();
  try {
    stopService();
    doInstall();
  } catch (...) {
    startService();
    throw;
  }
  startService();
  return true;
}

void TWUServiceUpdater::doDownload() {
  updLog("Downloading " + logSafe(appid_) + ".pkg...");
  std::string dir = updaterPrivateFolder(folder_);
  download_ = uniqueFile(dir, appid_, ".pkg");
  std::string url = updateServerBase() + appid_ + ".pkg";
  httpGetToFile(url, download_, kMaxPackageBytes, stop_);
  updLog("Download finished OK");
  hash_ = sha256File(download_);
  if (publicKey_.empty()) return;
  try {
    std::string signature;
    try {
      signature = httpGetSmall(url + ".sig", kMaxSignatureDownload, stop_);
    } catch (const EHttpError& e) {
      throw ESignatureError(std::string("The package signature cannot be fetched: ") + e.what());
    }
    verifyPackageSignature(download_, signature, loadPublicKey(publicKey_));
  } catch (...) {
    dropDownload();  // unproven bytes go at once
    throw;
  }
  updLog("Package signature OK");
}

void TWUServiceUpdater::checkDownload() {
  UnpackOptions options;
  options.log = [this](const std::string& line) { updLog(logSafe(line)); };
  options.stop = stop_;
  options.keepOut = ownFiles();
  options.inUseWait = scaled(kInUseWait);
  prepared_ = std::make_unique<PreparedPackage>(download_, folder_, kPackagePassword, options, *sys_);

  // Our service, then those of the entries that share the appid or whose program is replaced.
  std::vector<std::string> targets = prepared_->targets();
  std::sort(targets.begin(), targets.end());
  services_.clear();
  if (!service_.empty()) services_.push_back(service_);
  for (const AppOwner& o : owners_) {
    if (o.service.empty() || std::find(services_.begin(), services_.end(), o.service) != services_.end())
      continue;
    if (o.appid == appid_ || std::binary_search(targets.begin(), targets.end(), o.exe)) {
      updLog("Service " + logSafe(o.service) + " of " + logSafe(o.exe) + " runs files of this package");
      services_.push_back(o.service);
    }
  }
}

void TWUServiceUpdater::awaitState(const std::string& service, int wanted) const {
  int state = 0;
  int attempt = 0;
  do {
    state = serviceControl().queryState(service);
    ++attempt;
    updLog("  checking status " + std::to_string(state) + " attempt " + std::to_string(attempt));
    if (waitUnlessStopped(stop_, updaterTicks().servicePoll)) return;
  } while (state != 0 && state != wanted && attempt <= 20);
}

void TWUServiceUpdater::stopService() {
  if (services_.empty()) return;
  // Written whole before anything stops: a kill from here on is repaired at the next start.
  recordPath_ = uniqueFile(updaterPrivateFolder(folder_), appid_, ".install");
  record_ = {exename_, services_, {}};
  writeInstallRecord(recordPath_, record_);
  for (const auto& service : services_) {
    throwIfStopped(stop_);
    updLog("StopService:...");
    updLog(serviceControl().requestStop(service) ? "  1" : "  0");
    awaitState(service, kServiceStopped);
    updLog("StopService: Done");
  }
  throwIfStopped(stop_);
}

void TWUServiceUpdater::startService() {
  for (const auto& service : services_) {
    updLog("StartService:...");
    updLog(serviceControl().requestStart(service) ? "  1" : "  0");
    awaitState(service, kServiceRunning);
    updLog("StartService: Done");
  }
  if (!recordPath_.empty()) std::remove(recordPath_.c_str());
  recordPath_.clear();
}

void TWUServiceUpdater::doInstall() {
  updLog("Installing update:...");
  prepared_->install([this](const std::vector<StagedFile>& files) {
    if (recordPath_.empty()) recordPath_ = uniqueFile(updaterPrivateFolder(folder_), appid_, ".install");
    record_ = {exename_, services_, files};
    writeInstallRecord(recordPath_, record_);
  });
  updLog("Installing update: OK, removing update file...");
  dropDownload();
  updLog("Installing update: OK, removed update file: OK");
}

}  // namespace kn
