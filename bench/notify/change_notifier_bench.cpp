// What a change costs its producer, and what the notifier thread spends per
// notification to find and serve its channels.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "notify/change_notifier.h"

namespace {

const std::string kUser = "S-1-5-21-1";

VelderPath::Path P(const std::string& text) {
  VelderPath::Path path;
  VelderPath::Parse(text, path);
  return path;
}

// Accepts every message at once.
class NullSender : public NotificationSender {
 public:
  uint32_t Send(const std::string&, const std::string&, std::span<const uint8_t> bytes) override {
    benchmark::DoNotOptimize(bytes.data());
    return kDelivered;
  }
};

class DrainingNotifier : public ChangeNotifier {
 public:
  using ChangeNotifier::ChangeNotifier;
  using ChangeNotifier::ProcessQueue;
};

// Notify from the benchmark's threads while the notifier thread drains the
// queue and sends to 10 channels.
void BM_NotifyWithRunningThread(benchmark::State& state) {
  static platform::ManualResetEvent stop;
  static std::unique_ptr<ChangeNotifier> notifier;
  if (state.thread_index() == 0) {
    stop.Reset();
    notifier = std::make_unique<ChangeNotifier>(stop, "bench", std::make_shared<NullSender>());
    for (int c = 0; c < 10; ++c) notifier->Subscribe("tarn", kUser, P("a"), "channel" + std::to_string(c));
    notifier->Start();
  }
  const VelderPath::Path path = P("a.b.c");
  const nlohmann::json value = {{"x", 1}, {"y", "text"}};
  for (auto _ : state) notifier->Notify("tarn", kUser, path, value, "");
  if (state.thread_index() == 0) {
    stop.Set();
    notifier->Join();
    notifier.reset();
  }
}
BENCHMARK(BM_NotifyWithRunningThread)->Threads(1)->Threads(4)->UseRealTime();

// One notification through matching, sorting, encoding and sending, with
// `range(0)` subscriptions of which a tenth match.
void BM_ProcessOneNotification(benchmark::State& state) {
  platform::ManualResetEvent stop;
  DrainingNotifier notifier(stop, "bench", std::make_shared<NullSender>());
  const int subscriptions = static_cast<int>(state.range(0));
  for (int i = 0; i < subscriptions; ++i) {
    notifier.Subscribe("tarn", i % 10 == 0 ? kUser : "S-1-5-21-" + std::to_string(i), P("a"),
                       "channel" + std::to_string(i));
  }
  const VelderPath::Path path = P("a.b.c");
  for (auto _ : state) {
    notifier.Notify("tarn", kUser, path, nlohmann::json(42), "");
    notifier.ProcessQueue();
  }
  state.counters["listeners"] = static_cast<double>((subscriptions + 9) / 10);
}
BENCHMARK(BM_ProcessOneNotification)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// The inactivity check of the settings manager against many subscriptions.
void BM_IsSubscribed(benchmark::State& state) {
  platform::ManualResetEvent stop;
  ChangeNotifier notifier(stop, "bench", std::make_shared<NullSender>());
  for (int i = 0; i < state.range(0); ++i) {
    notifier.Subscribe("tarn", "S-1-5-21-" + std::to_string(i), P("a"), "channel" + std::to_string(i));
  }
  // A hive nobody listens to: every subscription is looked at.
  for (auto _ : state) benchmark::DoNotOptimize(notifier.IsSubscribed("tarn", "S-1-5-21-none"));
}
BENCHMARK(BM_IsSubscribed)->Arg(100)->Arg(10000);

}  // namespace
