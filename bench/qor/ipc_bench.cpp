// The IPC library alone, with an echo callback: request round trips (p50,
// p99), request throughput with 1, 8 and 64 clients, and the time from
// HvIPC_Send to the client's notification callback.
//
// Figures of interest: round trip p50 under 50 us; at least 40,000
// requests/s with 8 clients; notification p50 under 1 ms.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qor/ipc/hv_qor_ipc.h"
#include "wire/ipc_message.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kIdentity[] = "bench";
constexpr char kService[] = "VELDER_SERVICE";

uint32_t Echo(uint32_t, const uint8_t* bytes, uint32_t count, HvIpcMessage* message, void*) {
  HvIPC_MessageSetResponse(message, bytes, count);
  return 0;
}

// A GetValue request as a client sends it.
std::string GetValueEnvelope() {
  IpcMessage m;
  m.set_message_type(MessageType::GetValue);
  m.set_name_space("tarn");
  m.set_client("bench");
  m.set_path("product.settings.update.interval");
  size_t count = 0;
  const uint8_t* bytes = m.Serialize(&count);
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

// A server in a directory of its own for one benchmark.
class BenchServer {
 public:
  BenchServer() {
    char pattern[] = "/tmp/velder-ipc-bench-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    ::setenv("HV_QOR_IPC_DIR", dir_.c_str(), 1);
    ok_ = HvIPC_RunServer(&server_, kIdentity, kService, HV_IPC_SERVER_DEFAULT_FLAGS, Echo, nullptr, 0) == HV_IPC_OK;
  }
  ~BenchServer() {
    if (server_) HvIPC_StopServer(server_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }

 private:
  std::string dir_;
  HvIpcServer* server_ = nullptr;
  bool ok_ = false;
};

double Percentile(std::vector<double>& samples, double p) {
  if (samples.empty()) return 0;
  const size_t i = std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(i), samples.end());
  return samples[i];
}

double ProcessCpuMicros() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

bool Ask(HvIpcClient* client, const std::string& request) {
  uint8_t* response = nullptr;
  uint32_t count = 0;
  const uint32_t rc = HvIPC_ClientRequest(client, HV_IPC_KIND_ENVELOPE, reinterpret_cast<const uint8_t*>(request.data()),
                                          static_cast<uint32_t>(request.size()), 5000, &response, &count);
  HvIPC_ClientFreeBuffer(response);
  return rc == HV_IPC_OK && count == request.size();
}

void BM_GetValueRoundTrip(benchmark::State& state) {
  BenchServer server;
  HvIpcClient* client = nullptr;
  if (!server.ok() || HvIPC_ClientConnect(&client, kIdentity, kService, 5000, nullptr, nullptr) != HV_IPC_OK) {
    state.SkipWithError("no server");
    return;
  }
  const std::string request = GetValueEnvelope();
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!Ask(client, request)) {
      state.SkipWithError("request failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  HvIPC_ClientClose(client);
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_GetValueRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Each of `clients` connections (one thread each) sends requests one after
// the other; the figure is requests per second over all of them.
void BM_Throughput(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  constexpr int kPerClient = 2000;
  BenchServer server;
  if (!server.ok()) {
    state.SkipWithError("no server");
    return;
  }
  std::vector<HvIpcClient*> handles(static_cast<size_t>(clients), nullptr);
  for (auto& h : handles) {
    if (HvIPC_ClientConnect(&h, kIdentity, kService, 5000, nullptr, nullptr) != HV_IPC_OK) {
      state.SkipWithError("connect failed");
      return;
    }
  }
  const std::string request = GetValueEnvelope();
  int64_t total = 0;
  std::atomic<bool> failed{false};
  const double cpu_before = ProcessCpuMicros();
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (HvIpcClient* h : handles) {
      threads.emplace_back([&, h] {
        for (int i = 0; i < kPerClient; ++i) {
          if (!Ask(h, request)) failed = true;
        }
      });
    }
    for (auto& t : threads) t.join();
    total += int64_t{kPerClient} * clients;
  }
  // Client and server share the process: this is the CPU that one request
  // costs both sides together.
  if (total > 0) state.counters["cpu_us_per_request"] = (ProcessCpuMicros() - cpu_before) / static_cast<double>(total);
  for (HvIpcClient* h : handles) HvIPC_ClientClose(h);
  if (failed) state.SkipWithError("a request failed");
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_Throughput)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// One notification at a time: the time from the send to the callback.
struct Receipt {
  std::mutex mu;
  std::condition_variable cv;
  bool arrived = false;
  Clock::time_point at;
};

void OnNotification(uint32_t kind, const uint8_t*, uint32_t, void* context) {
  if (kind == HV_IPC_KIND_DISCONNECTED) return;
  auto* r = static_cast<Receipt*>(context);
  const auto now = Clock::now();
  std::lock_guard lock(r->mu);
  r->arrived = true;
  r->at = now;
  r->cv.notify_one();
}

void BM_NotificationLatency(benchmark::State& state) {
  BenchServer server;
  Receipt receipt;
  HvIpcClient* client = nullptr;
  if (!server.ok() ||
      HvIPC_ClientConnect(&client, kIdentity, kService, 5000, OnNotification, &receipt) != HV_IPC_OK) {
    state.SkipWithError("no server");
    return;
  }
  const std::string channel = HvIPC_ClientGetChannel(client);
  IpcMessage note;
  note.set_message_type(MessageType::Notification);
  note.set_path("product.settings.update.interval");
  size_t count = 0;
  const uint8_t* bytes = note.Serialize(&count);
  HvIpcSendOptions options{};
  options.size = sizeof(options);
  options.timeout_ms = 2000;
  options.delivery = HV_IPC_DELIVERY_WRITTEN;
  std::vector<double> micros;
  for (auto _ : state) {
    {
      std::lock_guard lock(receipt.mu);
      receipt.arrived = false;
    }
    const auto start = Clock::now();
    if (HvIPC_Send(kIdentity, channel.c_str(), HV_IPC_SEND_NOTIFICATION, HV_IPC_KIND_ENVELOPE, bytes,
                   static_cast<uint32_t>(count), nullptr, &options) != HV_IPC_OK) {
      state.SkipWithError("send failed");
      break;
    }
    std::unique_lock lock(receipt.mu);
    if (!receipt.cv.wait_for(lock, std::chrono::seconds(5), [&] { return receipt.arrived; })) {
      state.SkipWithError("notification lost");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(receipt.at - start).count());
  }
  HvIPC_ClientClose(client);
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_NotificationLatency)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
