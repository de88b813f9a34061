// The cost a RequestTimer adds to every request: with collection off (one
// lock to see that no session runs) and on (plus one clock read at each end
// and one table update), on one thread and on several at once.
#include <benchmark/benchmark.h>

#include <string>

#include "manager/request_timer.h"
#include "manager/statistics.h"

namespace {

Statistics* g_statistics = nullptr;

void Setup(bool collecting) {
  g_statistics = new Statistics();
  g_statistics->SetCollecting(collecting);
}

void BM_RequestTimer(benchmark::State& state) {
  if (state.thread_index() == 0) Setup(state.range(0) != 0);
  const std::string originator = "channel-" + std::to_string(state.thread_index());
  for (auto _ : state) {
    RequestTimer timer(g_statistics, 2, originator);
  }
  if (state.thread_index() == 0) {
    delete g_statistics;
    g_statistics = nullptr;
  }
}
BENCHMARK(BM_RequestTimer)->Arg(0)->Arg(1)->ThreadRange(1, 2)->UseRealTime();

// Building the report of a session with 17 types from 100 originators.
void BM_Report(benchmark::State& state) {
  Statistics statistics;
  statistics.SetCollecting(true);
  auto session = statistics.CurrentSession();
  for (uint32_t type = 1; type <= 17; ++type) {
    for (int originator = 0; originator < 100; ++originator) {
      session->Record(type, "channel-" + std::to_string(originator), 3);
    }
  }
  for (auto _ : state) benchmark::DoNotOptimize(session->Report(0));
}
BENCHMARK(BM_Report)->Unit(benchmark::kMicrosecond);

}  // namespace
