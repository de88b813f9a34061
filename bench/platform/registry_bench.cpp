// Registry reads and writes against a database in a temporary folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/sqlite_registry.h"
#include "support/bench_folder.h"

namespace {

// A registry folder with a configuration key of a few dozen values, removed
// when the benchmark ends.
class BenchRegistry {
 public:
  BenchRegistry() {
    SqliteRegistry reg(dir());
    reg.CreateKeyPath(kKey);
    for (int i = 0; i < 40; ++i) reg.SetDword(kKey, "filler" + std::to_string(i), i);
    reg.SetString(kKey, "LogPath", "/var/log/halvern/velder");
  }
  const std::string& dir() const { return folder_.path(); }

  static constexpr const char* kKey = "SOFTWARE\\Halvern\\QOR\\Logging";

 private:
  bench_support::BenchFolder folder_;
};

// One instance kept for many reads: the cached connection and statements.
void BM_GetStringReusedInstance(benchmark::State& state) {
  BenchRegistry fixture;
  SqliteRegistry reg(fixture.dir());
  std::string value;
  for (auto _ : state) {
    if (!reg.GetString(BenchRegistry::kKey, "LogPath", value)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetStringReusedInstance);

// A new instance per read, the way callers use it for one task: open the
// database, read, close.
void BM_GetStringFreshInstance(benchmark::State& state) {
  BenchRegistry fixture;
  std::string value;
  for (auto _ : state) {
    SqliteRegistry reg(fixture.dir());
    reg.SetView(KEY_WOW64_32KEY);
    if (!reg.GetString(BenchRegistry::kKey, "LogPath", value)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetStringFreshInstance);

// A value that is not there: the common case of optional configuration.
void BM_GetStringMissingValue(benchmark::State& state) {
  BenchRegistry fixture;
  SqliteRegistry reg(fixture.dir());
  std::string value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(reg.GetString(BenchRegistry::kKey, "NotConfigured", value));
  }
}
BENCHMARK(BM_GetStringMissingValue);

// A durable write (one transaction, synced to disk).
void BM_SetDword(benchmark::State& state) {
  BenchRegistry fixture;
  SqliteRegistry reg(fixture.dir());
  uint32_t n = 0;
  for (auto _ : state) {
    if (!reg.SetDword(BenchRegistry::kKey, "LogLevel", ++n)) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_SetDword)->Unit(benchmark::kMillisecond);

}  // namespace
