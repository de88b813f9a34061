// Setting paths are parsed for every request and built while descending
// documents for every change notification.
#include "store/velder_path.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void BM_ParseShort(benchmark::State& state) {
  for (auto _ : state) {
    VelderPath::Path path;
    benchmark::DoNotOptimize(VelderPath::Parse("windows.velder.poll_interval", path));
    benchmark::DoNotOptimize(path);
  }
}
BENCHMARK(BM_ParseShort);

void BM_ParseMixed(benchmark::State& state) {
  for (auto _ : state) {
    VelderPath::Path path;
    benchmark::DoNotOptimize(VelderPath::Parse("products.tarn.components.12.features.feature_with_long_name.3", path));
    benchmark::DoNotOptimize(path);
  }
}
BENCHMARK(BM_ParseMixed);

void BM_ParseInvalid(benchmark::State& state) {
  const std::string text = "a.b.c.d.e.f.g." + std::string(64, '9');
  for (auto _ : state) {
    VelderPath::Path path;
    benchmark::DoNotOptimize(VelderPath::Parse(text, path));
  }
}
BENCHMARK(BM_ParseInvalid);

void BM_ToString(benchmark::State& state) {
  VelderPath::Path path;
  VelderPath::Parse("products.tarn.components.12.features.feature_with_long_name.3", path);
  for (auto _ : state) benchmark::DoNotOptimize(VelderPath::ToString(path));
}
BENCHMARK(BM_ToString);

void BM_FindInDocument(benchmark::State& state) {
  nlohmann::json doc = nlohmann::json::object();
  for (int g = 0; g < 100; ++g) {
    for (int s = 0; s < 100; ++s) doc["group" + std::to_string(g)]["setting" + std::to_string(s)] = s;
  }
  VelderPath::Path path;
  VelderPath::Parse("group57.setting42", path);
  for (auto _ : state) benchmark::DoNotOptimize(VelderPath::Find(path, doc));
}
BENCHMARK(BM_FindInDocument);

}  // namespace
