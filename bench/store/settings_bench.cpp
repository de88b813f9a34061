// SetValue on hives of 100, 1,000 and 10,000 settings. Every write changes a
// value, so each iteration pays for everything a client's write costs: the
// read-only and admin-only checks, validation, the patch write, the rebuild of
// the effective document and the change detection, and the notification
// (drained by a running notifier with one subscriber that is never sent to:
// the writer is the subscriber). The full rebuild is measured beside it, as
// what a new base document or a reload costs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "notify/change_notifier.h"
#include "platform/manual_reset_event.h"
#include "store/hive_file_parser.h"
#include "store/settings.h"
#include "store/storage.h"
#include "support/bench_folder.h"

namespace {

using bench_support::BenchFolder;

using nlohmann::json;

class NullSender : public NotificationSender {
 public:
  uint32_t Send(const std::string&, const std::string&, std::span<const uint8_t>) override { return kDelivered; }
};

constexpr int kPerGroup = 100;

// `count` integer settings in groups of 100 ("g3.s41"), half of them with a
// base value, and a few settings of other kinds beside them.
json BaseDocument(int count) {
  json schema = json::object();
  json values = json::object();
  for (int g = 0; g * kPerGroup < count; ++g) {
    json properties = json::object();
    const std::string group = "g" + std::to_string(g);
    for (int s = 0; s < kPerGroup && g * kPerGroup + s < count; ++s) {
      const std::string name = "s" + std::to_string(s);
      properties[name] = {{"type", "integer"}, {"default", 0}, {"maximum", 1 << 30}};
      if (s % 2 == 0) values[group][name] = s;
    }
    schema[group] = {{"type", "object"}, {"properties", properties}};
  }
  schema["list"] = {{"type", "array"}, {"items", {{"type", "string"}}}, {"default", json::array({"a", "b"})}};
  return json{{"data", {{"eff_schema", schema}, {"values", values}}}};
}

struct Fixture {
  explicit Fixture(int count) : storage(folder.path()) {
    storage.SaveBase(Settings::kProduct, kUser, BaseDocument(count));
    storage.SaveLocal(Settings::kProduct, kUser, json{{"metadata", {{"etag", "\"bench\""}}}});
    notifier.Start();
    VelderPath::Path root;
    notifier.Subscribe(Settings::kProduct, kUser, root, "writer");
    hive = std::make_unique<Settings>(kUser, storage, notifier, wake, nullptr, "bench");
    hive->Load();
  }
  ~Fixture() {
    hive.reset();
    stop.Set();
    notifier.Join();
  }

  static constexpr char kUser[] = "S-1-5-21-7";
  BenchFolder folder;
  Storage storage;
  platform::ManualResetEvent stop;
  platform::ManualResetEvent wake;
  ChangeNotifier notifier{stop, "bench", std::make_shared<NullSender>()};
  std::unique_ptr<Settings> hive;
};

void BM_SetValue(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Fixture fixture(count);
  const RequestContext request{Settings::kProduct, Fixture::kUser, true, true, false};
  int i = 0;
  for (auto _ : state) {
    const int setting = (i * 7919) % count;  // spread over the groups
    VelderPath::Path path;
    VelderPath::Parse("g" + std::to_string(setting / kPerGroup) + ".s" + std::to_string(setting % kPerGroup), path);
    if (fixture.hive->SetValue(path, 1000 + i, request, "writer") != ResultCode::Success) {
      state.SkipWithError("SetValue failed");
      break;
    }
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetValue)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A value the schema does not describe, in an object of `count` such values
// (what clients write locally): "local" holds it, and the effective document
// does not copy it.
void BM_SetLocalValue(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Fixture fixture(count);
  const RequestContext request{Settings::kProduct, Fixture::kUser, true, true, false};
  for (int i = 0; i < count; ++i) {
    VelderPath::Path path;
    VelderPath::Parse("obj.s" + std::to_string(i), path);
    fixture.hive->SetValue(path, i, request, "writer");
  }
  int i = 0;
  for (auto _ : state) {
    VelderPath::Path path;
    VelderPath::Parse("obj.s" + std::to_string((i * 7919) % count), path);
    if (fixture.hive->SetValue(path, count + i++, request, "writer") != ResultCode::Success) {
      state.SkipWithError("SetValue failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetLocalValue)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// An element of an array: the whole array is copied into the patch.
void BM_SetArrayElement(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  const RequestContext request{Settings::kProduct, Fixture::kUser, true, true, false};
  VelderPath::Path path;
  VelderPath::Parse("list.1", path);
  int i = 0;
  for (auto _ : state) {
    if (fixture.hive->SetValue(path, std::to_string(i++), request, "writer") != ResultCode::Success) {
      state.SkipWithError("SetValue failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetArrayElement)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_FullRebuild(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) fixture.hive->UpdateEffectiveSettings(std::string(), false);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FullRebuild)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

// The first access of a hive of `count` local settings (one object, as a
// client writes them), in its parts: reading the file, parsing it, applying
// the documents (schema, overlays, local values: a full rebuild), and the
// whole load.
struct LoadFixture {
  explicit LoadFixture(int count) : storage(folder.path()) {
    json bulk = json::object();
    for (int i = 0; i < count; ++i) bulk["setting" + std::to_string(i)] = "value " + std::to_string(i);
    storage.SaveLocal(Settings::kProduct, Fixture::kUser,
                      json{{"local", {{"bulk", bulk}}}, {"metadata", {{"etag", ""}, {"pns_id", ""}}}});
  }
  BenchFolder folder;
  Storage storage;
  platform::ManualResetEvent stop;
  platform::ManualResetEvent wake;
  ChangeNotifier notifier{stop, "bench", std::make_shared<NullSender>()};
};

void BM_LoadLocalFile(benchmark::State& state) {
  LoadFixture fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(fixture.storage.LoadLocal(Settings::kProduct, Fixture::kUser));
}
BENCHMARK(BM_LoadLocalFile)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_LoadHive(benchmark::State& state) {
  LoadFixture fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Settings hive(Fixture::kUser, fixture.storage, fixture.notifier, fixture.wake, nullptr, "bench");
    hive.Load();
    benchmark::DoNotOptimize(&hive);
  }
}
BENCHMARK(BM_LoadHive)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The same load in phases, each timed on its own and reported in us per
// load: read (the file's bytes), parse (bytes to document), apply (a full
// rebuild of the effective document), and load (Settings::Load, all of it
// with the files and the journal).
void BM_LoadPhases(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  LoadFixture fixture(static_cast<int>(state.range(0)));
  const std::string file = fixture.storage.GetFileName(Settings::kProduct, Fixture::kUser, "local");
  double read = 0, parse = 0, apply = 0, load = 0;
  auto micros = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); };
  for (auto _ : state) {
    auto start = Clock::now();
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    read += micros(Clock::now() - start);
    start = Clock::now();
    benchmark::DoNotOptimize(HiveFileParser::ParseOrThrow(bytes));
    parse += micros(Clock::now() - start);
    Settings hive(Fixture::kUser, fixture.storage, fixture.notifier, fixture.wake, nullptr, "bench");
    start = Clock::now();
    hive.Load();
    load += micros(Clock::now() - start);
    start = Clock::now();
    hive.UpdateEffectiveSettings(std::nullopt, false);
    apply += micros(Clock::now() - start);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["read_us"] = read / n;
  state.counters["parse_us"] = parse / n;
  state.counters["apply_us"] = apply / n;
  state.counters["load_us"] = load / n;
}
BENCHMARK(BM_LoadPhases)->Arg(1000)->Unit(benchmark::kMicrosecond);
