// What a journalled change costs the writer while it holds the hive lock:
// the record of one changed member, encoded straight from the document
// (as the hive does) beside the same record made from copies of the values,
// for one integer and for an object of 1,000 texts; then the append itself,
// one write of that record.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "store/change_journal.h"
#include "support/bench_folder.h"

namespace {

using nlohmann::json;

json Document(int members) {
  json member = members == 1 ? json(41) : json::object();
  for (int i = 0; members > 1 && i < members; ++i) member["setting" + std::to_string(i)] = "value " + std::to_string(i);
  return json{{"patch", {{"bench", {{"writer0", member}}}}}, {"metadata", {{"etag", "\"x\""}}}};
}

const std::vector<std::vector<std::string>> kChanged = {{"patch", "bench", "writer0"}};

// Arg 0: members of the changed value; arg 1: 1 = from the document, 0 = from copies.
void BM_JournalEncode(benchmark::State& state) {
  const json document = Document(static_cast<int>(state.range(0)));
  const bool direct = state.range(1) != 0;
  for (auto _ : state) {
    if (direct) {
      benchmark::DoNotOptimize(ChangeJournal::EncodeSnapshots(document, kChanged));
    } else {
      std::vector<ChangeJournal::Change> copies;
      for (const auto& keys : kChanged) copies.push_back(ChangeJournal::Snapshot(document, keys));
      benchmark::DoNotOptimize(ChangeJournal::EncodeRecord(copies));
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JournalEncode)->ArgNames({"members", "direct"})->ArgsProduct({{1, 1000}, {1, 0}});

void BM_JournalAppend(benchmark::State& state) {
  bench_support::BenchFolder folder;
  auto journal = std::make_shared<ChangeJournal>(folder.path() + "/local.journal");
  const json document = Document(1);
  for (auto _ : state) {
    if (!journal->AppendSnapshots(document, kChanged)) state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JournalAppend);

}  // namespace
