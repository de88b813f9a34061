// Validation runs for every SetValue under the hive lock.
#include "store/schema_node.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using nlohmann::json;

// A schema object of `members` settings of mixed types with keywords, and a
// value setting every one of them plus a few members the schema does not know.
std::pair<json, json> ObjectOf(int members) {
  json properties = json::object();
  json value = json::object();
  for (int i = 0; i < members; ++i) {
    const std::string name = "member" + std::to_string(i);
    switch (i % 4) {
      case 0:
        properties[name] = {{"type", "integer"}, {"default", 0}, {"minimum", 0}, {"maximum", 1000000}};
        value[name] = i;
        break;
      case 1:
        properties[name] = {{"type", "string"}, {"default", ""}, {"maxLength", 64}, {"pattern", "^[a-z]+[0-9]*$"}};
        value[name] = "value" + std::to_string(i);
        break;
      case 2:
        properties[name] = {{"type", "boolean"}, {"default", false}};
        value[name] = true;
        break;
      default:
        properties[name] = {{"type", "array"}, {"default", json::array()}, {"uniqueItems", true},
                            {"items", {{"type", "integer"}}}};
        value[name] = {1, 2, 3};
        break;
    }
  }
  for (int i = 0; i < 10; ++i) value["unknown" + std::to_string(i)] = i;
  const json schema = {{"obj", {{"type", "object"}, {"properties", properties}}}};
  return {schema, value};
}

void BM_ValidateObject(benchmark::State& state) {
  const auto [schema, value] = ObjectOf(static_cast<int>(state.range(0)));
  Schema::SchemaNode node(schema);
  node.OnKey("obj");
  for (auto _ : state) {
    std::optional<json> described, undescribed;
    benchmark::DoNotOptimize(node.Validate(value, described, undescribed));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ValidateObject)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_ValidateLeafWithPattern(benchmark::State& state) {
  const json schema = {{"s", {{"type", "string"}, {"default", ""}, {"pattern", "^[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+$"}}}};
  Schema::SchemaNode node(schema);
  node.OnKey("s");
  const json value = "someone.else@example.org";
  for (auto _ : state) {
    std::optional<json> described, undescribed;
    benchmark::DoNotOptimize(node.Validate(value, described, undescribed));
  }
}
BENCHMARK(BM_ValidateLeafWithPattern);

}  // namespace
