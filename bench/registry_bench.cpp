// The configuration store over real hive files: parsing a hive, loading a store from a warm
// hive (the common case: nothing changed since the last read), one saved setting, and large hives
// (about 6 MB: many values in one key, many keys, a regedit export in UTF-16) loaded cold.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "KNConfig.h"
#include "KNRegistryHive.h"
#include "KNTextCodec.h"

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

// About `bytes` of hive text: one key holding many values, or many keys of one value each.
std::string bigHive(size_t bytes, bool oneKey) {
  std::string text =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App]\n";
  for (int i = 0; text.size() < bytes; ++i) {
    if (!oneKey) text += "\n[HKEY_LOCAL_MACHINE\\Software\\Kestrane\\App\\k" + std::to_string(i) + "]\n";
    text += "\"value" + std::to_string(i) + "\"=\"some text of a setting " + std::to_string(i) + "\"\n";
  }
  return text;
}

void BM_ParseBigHive(benchmark::State& state) {
  std::string text = bigHive(6 << 20, state.range(0) == 1);
  for (auto _ : state) benchmark::DoNotOptimize(kn::parseHive(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
// 1: one key with about 150,000 values; 0: about 90,000 keys.
BENCHMARK(BM_ParseBigHive)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

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

// A store loaded from a 6 MB HKLM hive by a process that has not read it before: reading,
// decoding, parsing and walking every key. 0: UTF-8, many keys; 1: UTF-8, one key with many
// values; 2: the same as a regedit export (UTF-16LE with byte-order mark, CR LF).
void BM_LoadBigHiveCold(benchmark::State& state) {
  TempRoot root;
  std::string text = bigHive(6 << 20, state.range(0) != 0);
  std::string bytes = text;
  if (state.range(0) == 2) {
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    bytes = "\xFF\xFE" + kn::encodeUtf16LE(crlf);
  }
  std::string dir = std::string(::getenv("KN_SYSROOT")) + "/etc/kestrane";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/HKLM.reg", std::ios::binary) << bytes;
  size_t items = 0;
  for (auto _ : state) {
    kn::setRegistry(kn::newSystemRegistry());  // nothing cached
    kn::TKNConfig cfg("App");
    cfg.RootKey = kn::HKEY_LOCAL_MACHINE;
    cfg.LoadData();
    items = cfg.Params.size();
  }
  kn::setRegistry(nullptr);
  state.counters["file_MB"] = static_cast<double>(bytes.size()) / (1 << 20);
  state.counters["settings"] = static_cast<double>(items);
}
BENCHMARK(BM_LoadBigHiveCold)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
