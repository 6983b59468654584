// The configuration store over real hive files: parsing a hive, loading a store from a warm
// hive (the common case: nothing changed since the last read), and one saved setting.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "KNConfig.h"
#include "KNRegistryHive.h"

namespace {

// A hive of `keys` keys with eight values each, like a busy machine's HKLM.
std::string sampleHive(int keys) {
  std::string text = "Windows Registry Editor Version 5.00\n";
  for (int k = 0; k < keys; ++k) {
    text += "\n[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App\\k" + std::to_string(k) + "]\n";
    for (int v = 0; v < 8; ++v)
      text += "\"value" + std::to_string(v) + "\"=\"some text \\\"quoted\\\" " + std::to_string(v) + "\"\n";
  }
  return text;
}

void BM_ParseHive(benchmark::State& state) {
  std::string text = sampleHive(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(kn::parseHive(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseHive)->Arg(10)->Arg(1000);

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "knbench.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    ::setenv("KN_SYSROOT", path_.c_str(), 1);
  }
  ~TempRoot() { std::filesystem::remove_all(path_); }

 private:
  std::string path_;
};

void BM_LoadStoreWarm(benchmark::State& state) {
  TempRoot root;
  kn::setRegistry(kn::newSystemRegistry());
  kn::TKNConfig seed("App");
  seed.RootKey = kn::HKEY_LOCAL_MACHINE;
  for (int k = 0; k < state.range(0); ++k)
    seed.Put(std::string("k").append(std::to_string(k)).append("\\v"), "x");
  seed.SaveData();
  for (auto _ : state) {
    kn::TKNConfig cfg("App");
    cfg.RootKey = kn::HKEY_LOCAL_MACHINE;
    cfg.LoadData();
    benchmark::DoNotOptimize(cfg.Params.size());
  }
  kn::setRegistry(nullptr);
}
BENCHMARK(BM_LoadStoreWarm)->Arg(1)->Arg(50);

void BM_SaveOneSetting(benchmark::State& state) {
  TempRoot root;
  kn::setRegistry(kn::newSystemRegistry());
  int i = 0;
  for (auto _ : state) {
    kn::TKNConfig cfg("_devid");
    cfg.RootKey = kn::HKEY_LOCAL_MACHINE;
    cfg.Put("\\devid", std::to_string(++i));  // a new value every time: a real write
    cfg.SaveData();
  }
  kn::setRegistry(nullptr);
}
BENCHMARK(BM_SaveOneSetting);

}  // namespace
