// What the updater's tests share: a temporary updater folder, ZIP packages built with libzip, a
// loopback update server.
#pragma once

#include <httplib.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KNHostShell.h"
#include "KNTestTempDir.h"
#include "KNVersionedProgram.h"
#include "globals.h"
#include "knLOG2.h"

namespace kn::test {

namespace fs = std::filesystem;

// The "UPD: " lines of an update whose service stops and starts at the first look, after the
// line that names the package.
inline constexpr const char* kSmoothUpdateLines =
    "UPD: Download finished OK\r\n"
    "UPD: StopService:...\r\n"
    "UPD:   1\r\n"
    "UPD:   checking status 1 attempt 1\r\n"
    "UPD: StopService: Done\r\n"
    "UPD: Installing update:...\r\n"
    "UPD: Installing update: OK, removing update file...\r\n"
    "UPD: Installing update: OK, removed update file: OK\r\n"
    "UPD: StartService:...\r\n"
    "UPD:   1\r\n"
    "UPD:   checking status 4 attempt 1\r\n"
    "UPD: StartService: Done\r\n";

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& data, unsigned mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  std::error_code ec;
  fs::permissions(path, static_cast<fs::perms>(mode), ec);
}

// The permission bits, set-id and sticky included.
inline unsigned modeOf(const std::string& path) {
  std::error_code ec;
  return static_cast<unsigned>(fs::status(path, ec).permissions() & fs::perms::mask);
}

// A fresh folder standing for the updater's own, ending in "/", with the log pointed into it.
// Removed at the end.
class TempFolder {
 public:
  TempFolder() { initLogAt(path_, "svcupdater", LogStyle::Updater); }
  ~TempFolder() { resetLog(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }
  std::string appLog(const std::string& exe) const { return readFile(namedLogFile(exe)); }

 private:
  TempDir dir_;
  std::string path_ = dir_.path() + "/";
};

struct ZipEntry {
  std::string name;
  std::string data;
  unsigned mode = 0;  // 0: no Unix mode stored (as a Windows tool writes it)
};

// Builds a ZIP archive in memory-backed file `path`; a non-empty `password` encrypts every entry
// with the traditional ZIP encryption.
inline void makeZip(const std::string& path, const std::vector<ZipEntry>& entries,
                    const std::string& password) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  for (const auto& e : entries) {
    zip_source_t* src = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
    zip_int64_t i = e.name.back() == '/' ? zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_UTF_8)
                                         : zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (e.name.back() == '/') zip_source_free(src);
    ASSERT_GE(i, 0) << zip_strerror(z);
    if (!password.empty() && e.name.back() != '/') {
      ASSERT_EQ(
          0, zip_file_set_encryption(z, static_cast<zip_uint64_t>(i), ZIP_EM_TRAD_PKWARE, password.c_str()));
    }
    if (e.mode)
      zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                       (0100000u | e.mode) << 16);
    else
      zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_DOS, 0);
  }
  ASSERT_EQ(0, zip_close(z)) << zip_strerror(z);
}

inline std::string zipBytes(const std::vector<ZipEntry>& entries, const std::string& password) {
  TempDir scratch;
  makeZip(scratch / "p.zip", entries, password);
  return readFile(scratch / "p.zip");
}

// Damages the stored data of the entry named `name` (flips bytes in its middle), so that
// extracting it fails its check while the archive's directory stays readable.
inline std::string corruptEntry(std::string zipData, const std::string& name, const std::string& content) {
  size_t at = zipData.find(content);
  EXPECT_NE(at, std::string::npos) << name;
  for (size_t i = at + content.size() / 2; i < at + content.size() / 2 + 4; ++i) zipData[i] ^= 0x5a;
  return zipData;
}

// An archive of nothing but its end records (zip64), whose directory claims `entries` entries.
inline std::string zipClaimingEntries(std::uint64_t entries) {
  auto le = [](std::uint64_t v, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    return out;
  };
  std::string zip64 = std::string("PK\6\6") + le(44, 8) + le(45, 2) + le(45, 2) + le(0, 4) + le(0, 4) +
                      le(entries, 8) + le(entries, 8) + le(0, 8) + le(0, 8);
  std::string locator = std::string("PK\6\7") + le(0, 4) + le(0, 8) + le(1, 4);
  std::string end = std::string("PK\5\6") + le(0, 4) + le(0xffff, 2) + le(0xffff, 2) + le(0, 4) +
                    le(0xffffffff, 4) + le(0, 2);
  return zip64 + locator + end;
}

// The update server on 127.0.0.1: answers "webupdate.php3" from `answer(id, appver)` and serves
// "<appid>.pkg" as `package` set it (404 for an unknown one). Records every query's raw text.
class UpdateServer {
 public:
  using Answer = std::function<std::string(const std::string& id, const std::string& appver)>;

  UpdateServer() {
    server_.Get("/webupdate.php3", [this](const httplib::Request& req, httplib::Response& res) {
      std::string id = req.get_param_value("id"), appver = req.get_param_value("appver");
      std::unique_lock g(lock_);
      queries_.push_back(req.target);
      params_.push_back(req.params);
      ++checks_[id];
      Answer answer = answer_;
      g.unlock();  // an answer may take its time
      res.set_content(answer ? answer(id, appver) : "", "text/plain");
    });
    server_.Get(R"(/([^/]+)\.pkg\.sig)", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard g(lock_);
      auto it = signatures_.find(req.matches[1]);
      if (it == signatures_.end()) {
        res.status = 404;
        return;
      }
      res.set_content(it->second, "application/octet-stream");
    });
    server_.Get(R"(/([^/]+)\.pkg)", [this](const httplib::Request& req, httplib::Response& res) {
      std::unique_lock g(lock_);
      std::string id = req.matches[1];
      ++downloads_[id];
      auto it = packages_.find(id);
      if (it == packages_.end()) {
        res.status = 404;
        return;
      }
      Package p = it->second;
      maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
      g.unlock();
      std::this_thread::sleep_for(p.delay);
      res.status = p.status;
      if (p.chunk == 0) {
        res.set_content(p.bytes, "application/zip");
      } else {  // a trickle: `chunk` bytes every `delay`
        auto bytes = std::make_shared<std::string>(p.bytes);
        res.set_content_provider(bytes->size(), "application/zip",
                                 [bytes, p](size_t offset, size_t length, httplib::DataSink& sink) {
                                   std::this_thread::sleep_for(p.delay);
                                   return sink.write(bytes->data() + offset, std::min(length, p.chunk));
                                 });
      }
      g.lock();
      --inFlight_;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~UpdateServer() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  void answer(Answer a) {
    std::lock_guard g(lock_);
    answer_ = std::move(a);
  }
  // Serves `bytes` as "<id>.pkg" with `status`, after `delay`; with `chunk`, `chunk` bytes at a
  // time, each after `delay`.
  void package(const std::string& id, std::string bytes, int status = 200,
               std::chrono::milliseconds delay = {}, size_t chunk = 0) {
    std::lock_guard g(lock_);
    packages_[id] = {std::move(bytes), status, delay, chunk};
  }
  // The most package downloads that were served at the same time.
  int maxParallelDownloads() {
    std::lock_guard g(lock_);
    return maxInFlight_;
  }
  void signature(const std::string& id, std::string bytes) {
    std::lock_guard g(lock_);
    signatures_[id] = std::move(bytes);
  }
  // Each check's query parameters as the server decoded them.
  std::vector<httplib::Params> params() {
    std::lock_guard g(lock_);
    return params_;
  }
  std::vector<std::string> queries() {
    std::lock_guard g(lock_);
    return queries_;
  }
  int checks(const std::string& id) {
    std::lock_guard g(lock_);
    return checks_[id];
  }
  int downloads(const std::string& id) {
    std::lock_guard g(lock_);
    return downloads_[id];
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex lock_;
  Answer answer_;
  struct Package {
    std::string bytes;
    int status;
    std::chrono::milliseconds delay;
    size_t chunk;
  };
  int inFlight_ = 0, maxInFlight_ = 0;
  std::map<std::string, Package> packages_;
  std::map<std::string, std::string> signatures_;
  std::vector<std::string> queries_;
  std::vector<httplib::Params> params_;
  std::map<std::string, int> checks_, downloads_;
};

// Runs a shell command line of the test's own making (zip, openssl), its paths given through
// hostPath; fails the test if it fails.
inline void run(const std::string& command) { ASSERT_EQ(0, hostShell(command + " >/dev/null 2>&1")) << command; }

// Points KN_UPDATE_URL (and KN_TIME_SCALE) at the test's values for one scope; loopback traffic
// never goes through a proxy.
class EnvScope {
 public:
  EnvScope(const std::map<std::string, std::string>& values) {
    for (const auto& [k, v] : values) set(k, v);
    for (const char* k : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) set(k, "");
  }

 private:
  // An empty value unsets the variable.
  void set(const std::string& k, const std::string& v) {
    saved_.push_back(std::make_unique<ScopedEnv>(k, v.empty() ? std::nullopt : std::optional<std::string>(v)));
  }
  std::vector<std::unique_ptr<ScopedEnv>> saved_;
};

// Shortens the updater's fixed ticks for one scope.
class FastTicks {
 public:
  FastTicks() : saved_(updaterTicks()) {
    updaterTicks().threadTick = std::chrono::milliseconds(5);
    updaterTicks().servicePoll = std::chrono::milliseconds(1);
    updaterTicks().hostTick = std::chrono::milliseconds(5);
  }
  ~FastTicks() { updaterTicks() = saved_; }

 private:
  TUpdaterTicks saved_;
};

inline int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Waits (polling, at most `limit`) until `done` holds.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace kn::test
