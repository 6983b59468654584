// An in-memory registry for tests of units that use the registry seam, with the same rules as the
// hive files (case-insensitive names, order kept, "Invalid data type" for non-text values) and a
// record of every write. Tests of failing writes use the real hive store over a failing OS seam
// (common/tests/KNOsFaulty.h) instead.
//
//   auto fake = std::make_shared<kn::TRegistryFake>();
//   kn::TScopedRegistry use(fake);          // the process-wide registry until `use` ends
#pragma once

#include <algorithm>
#include <mutex>
#include <utility>

#include "KNRegistry.h"
#include "KNRegistryHive.h"

namespace kn {

class TRegistryFake : public TRegistry {
 public:
  // "HKEY_CURRENT_USER\Software\X\name=value" for each successful writeString/writeDword
  // ("dword:<decimal>" as value), "-HKEY...\name" for each deleteValue, in call order.
  std::vector<std::string> writes;

  // The whole content of a root, as its hive would hold it.
  Hive& hive(RegRoot root) { return root == RegRoot::LocalMachine ? hklm_ : hkcu_; }

  void createKey(RegRoot root, const std::string& path) override {
    std::lock_guard lock(mutex_);
    std::string full = fullKeyPath(root, path);
    if (hive(root).exists(full)) return;
    hive(root).ensure(full);
  }

  bool keyExists(RegRoot root, const std::string& path) override {
    std::lock_guard lock(mutex_);
    return hive(root).exists(fullKeyPath(root, path));
  }

  std::vector<RegValue> values(RegRoot root, const std::string& path) override {
    std::lock_guard lock(mutex_);
    const HiveKey* key = hive(root).find(fullKeyPath(root, path));
    return key ? key->values : std::vector<RegValue>{};
  }

  std::vector<std::string> subKeys(RegRoot root, const std::string& path) override {
    std::lock_guard lock(mutex_);
    return hive(root).subKeys(fullKeyPath(root, path));
  }

  std::optional<std::string> readString(RegRoot root, const std::string& path,
                                        const std::string& name) override {
    std::lock_guard lock(mutex_);
    return hive(root).readString(fullKeyPath(root, path), name);
  }

  void writeString(RegRoot root, const std::string& path, const std::string& name,
                   const std::string& value) override {
    set(root, path, RegValue{name, RegType::String, value, 0}, value);
  }

  void writeDword(RegRoot root, const std::string& path, const std::string& name, uint32_t value) override {
    set(root, path, RegValue{name, RegType::DWord, "", value}, "dword:" + std::to_string(value));
  }

  bool deleteValue(RegRoot root, const std::string& path, const std::string& name) override {
    std::lock_guard lock(mutex_);
    std::string full = fullKeyPath(root, path);
    writes.push_back("-" + full + "\\" + name);
    HiveKey* key = hive(root).find(full);
    if (!key) return false;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const RegValue& v) { return sameRegName(v.name, name); });
    if (it == key->values.end()) return false;
    key->values.erase(it);
    return true;
  }

 private:
  void set(RegRoot root, const std::string& path, RegValue value, const std::string& shown) {
    std::lock_guard lock(mutex_);
    std::string full = fullKeyPath(root, path);
    HiveKey& key = hive(root).ensure(full);
    writes.push_back(full + "\\" + value.name + "=" + shown);
    for (auto& v : key.values) {
      if (sameRegName(v.name, value.name)) {
        value.name = v.name;
        v = std::move(value);
        return;
      }
    }
    key.values.push_back(std::move(value));
  }

  std::mutex mutex_;
  Hive hklm_, hkcu_;
};

// Makes `replacement` the process-wide registry for the life of this object.
class TScopedRegistry {
 public:
  explicit TScopedRegistry(std::shared_ptr<TRegistry> replacement)
      : previous_(setRegistry(std::move(replacement))) {}
  ~TScopedRegistry() { setRegistry(std::move(previous_)); }
  TScopedRegistry(const TScopedRegistry&) = delete;
  TScopedRegistry& operator=(const TScopedRegistry&) = delete;

 private:
  std::shared_ptr<TRegistry> previous_;
};

}  // namespace kn
