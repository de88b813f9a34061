// The effective document is rebuilt after every change of a hive.
#include "store/schema_effective.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using nlohmann::json;

struct Hive {
  json schema = json::object();
  json base = json::object();
  json overlay = json::object();
};

// `settings` leaves in groups of 50, of mixed types; every third has a base
// value, every tenth a local value, one group is dynamic.
Hive HiveOf(int settings) {
  Hive hive;
  for (int i = 0; i < settings; ++i) {
    const std::string group = "group" + std::to_string(i / 50);
    const std::string name = "setting" + std::to_string(i);
    json& properties = hive.schema[group]["properties"];
    hive.schema[group]["type"] = "object";
    json leaf;
    json value;
    switch (i % 4) {
      case 0: leaf = {{"type", "integer"}, {"default", 0}, {"maximum", 1 << 30}}; value = i; break;
      case 1: leaf = {{"type", "string"}, {"default", "text"}}; value = "v" + std::to_string(i); break;
      case 2: leaf = {{"type", "boolean"}, {"default", false}}; value = true; break;
      default: leaf = {{"type", "array"}, {"default", {1, 2}}, {"items", {{"type", "integer"}}}}; value = {i}; break;
    }
    properties[name] = leaf;
    if (i % 3 == 0) hive.base[group][name] = value;
    if (i % 10 == 0) hive.overlay[group][name] = value;
  }
  hive.schema["free"] = {{"type", "object"}, {"dynamic", true}, {"default", json::object()}};
  hive.base["free"] = {{"a", 1}, {"b", {{"c", 2}}}};
  hive.overlay["free"] = {{"b", {{"d", 3}}}};
  return hive;
}

void BM_ComputeEffective(benchmark::State& state) {
  const Hive hive = HiveOf(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Schema::ComputeEffective(hive.schema, hive.base, hive.overlay, false));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ComputeEffective)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
