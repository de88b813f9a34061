// Save and Load of a hive file of about 1 MiB, the size of a large local or
// base document. Save includes everything a real save does: the text, the
// check of the previous file before it becomes the backup, both fsyncs and
// the renames; Load includes reading and parsing.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/utf.h"
#include "store/storage.h"
#include "support/bench_folder.h"

namespace {

using bench_support::BenchFolder;

// A local document of about `bytes` bytes: many settings of mixed types.
nlohmann::json HiveDocument(size_t bytes) {
  nlohmann::json patch = nlohmann::json::object();
  for (int i = 0; patch.dump().size() < bytes; ++i) {
    nlohmann::json group = nlohmann::json::object();
    for (int j = 0; j < 64; ++j) {
      const std::string key = "setting_" + std::to_string(j);
      switch (j % 4) {
        case 0: group[key] = "value of setting " + std::to_string(i * 64 + j); break;
        case 1: group[key] = i * 64 + j; break;
        case 2: group[key] = j % 3 == 0; break;
        default: group[key] = {1, 2, "three", 4.5}; break;
      }
    }
    patch["group_" + std::to_string(i)] = std::move(group);
  }
  return {{"local", nlohmann::json::object()}, {"patch", std::move(patch)}, {"metadata", {{"etag", "\"1\""}}}};
}

void BM_Save1MiB(benchmark::State& state) {
  BenchFolder folder;
  Storage storage(folder.path());
  const nlohmann::json document = HiveDocument(1 << 20);
  storage.SaveLocal("tarn", "S-1-5-18", document);  // later saves keep a backup, as in service
  for (auto _ : state) {
    if (storage.SaveLocal("tarn", "S-1-5-18", document) != Storage::kStatusOk) state.SkipWithError("save failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.dump().size()));
}
BENCHMARK(BM_Save1MiB)->Unit(benchmark::kMillisecond);

void BM_Load1MiB(benchmark::State& state) {
  BenchFolder folder;
  Storage storage(folder.path());
  const nlohmann::json document = HiveDocument(1 << 20);
  storage.SaveLocal("tarn", "S-1-5-18", document);
  for (auto _ : state) {
    nlohmann::json loaded = storage.LoadLocal("tarn", "S-1-5-18");
    if (loaded.is_null()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(loaded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.dump().size()));
}
BENCHMARK(BM_Load1MiB)->Unit(benchmark::kMillisecond);

// The same document written in UTF-16LE with a byte-order mark (2 MiB on disk).
void BM_LoadUtf16_1MiB(benchmark::State& state) {
  BenchFolder folder;
  Storage storage(folder.path());
  const nlohmann::json document = HiveDocument(1 << 20);
  const std::string path = storage.GetFileName("tarn", "S-1-5-18", "local");
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const std::string bytes = "\xFF\xFE" + platform::Utf8ToUtf16LeBytes(document.dump());
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  for (auto _ : state) {
    nlohmann::json loaded = storage.LoadLocal("tarn", "S-1-5-18");
    if (loaded.is_null()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(loaded);
  }
}
BENCHMARK(BM_LoadUtf16_1MiB)->Unit(benchmark::kMillisecond);

}  // namespace
