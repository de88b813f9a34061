// The whole service through its socket: the real velder-host with the real
// plug-in, started once per benchmark program in a folder of its own.
//
//   GetValueRoundTrip     one client, one request at a time (p50, p99 in us)
//   GetValueThroughput    1, 8 and 64 clients, each on its own thread
//   SetValueThroughput    1 and 8 clients writing keys of their own, with
//                         the change journal (journal:1) and without it
//                         (journal:0); the journal may cost at most 10%
//   NotificationLatency   from a SetValue answer to the subscriber's
//                         notification (p50, p99 in us; 0 when the
//                         notification came first), and from the request
//   ResidentMemory        the host's resident memory with 100 hives of
//                         1,000 settings each
//
// Targets on a 2-core machine: GetValue p50 under 50 us, at least 40,000
// GetValue/s with 8 clients, notification p50 under 1 ms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sqlite_registry.h"
#include "plugin/ipc_message.h"
#include "plugin/value_conversion.h"
#include "qor/ipc/hv_qor_ipc.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr char kIdentity[] = "velder-bench";

fs::path BuildDir() {
  const char* dir = std::getenv("VELDER_BUILD_DIR");
  if (dir != nullptr) return dir;
  // The benchmark lives in <build>/bin.
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// velder-host in a sandbox folder, for the life of the program.
class Service {
 public:
  static Service& Get() {
    static Service service;
    return service;
  }
  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }

  ~Service() { Stop(); }

  // Starts the host again, in a fresh folder, with or without its change
  // journal (VELDER_JOURNAL=off), unless it already runs that way.
  bool UseJournal(bool journal) {
    if (journal == journal_ && ok_) return true;
    Stop();
    journal_ = journal;
    Start();
    return ok_;
  }

 private:
  Service() { Start(); }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    std::error_code error;
    if (!root_.empty()) fs::remove_all(root_, error);
    ok_ = false;
  }

  void Start() {
    if (journal_) {
      ::unsetenv("VELDER_JOURNAL");
    } else {
      ::setenv("VELDER_JOURNAL", "off", 1);
    }
    char pattern[] = "/tmp/velder-service-bench-XXXXXX";
    root_ = ::mkdtemp(pattern);
    for (const char* sub : {"ipc", "registry", "logs"}) fs::create_directories(root_ / sub);
    ::setenv("HV_QOR_IPC_DIR", (root_ / "ipc").c_str(), 1);
    ::setenv("HALVERN_REGISTRY_DIR", (root_ / "registry").c_str(), 1);
    ::setenv("HALVERN_LIB_DIR", (BuildDir() / "lib").c_str(), 1);
    {
      // Log files stay in the sandbox, at the default level.
      SqliteRegistry registry;
      registry.SetRootKey(HKEY_LOCAL_MACHINE);
      registry.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\Logging");
      registry.SetString("SOFTWARE\\Halvern\\QOR\\Logging", "RootPath", (root_ / "logs").string());
    }
    const std::string program = (BuildDir() / "bin" / "velder-host").string();
    const std::string data = (root_ / "data").string();
    std::vector<std::string> args = {program, "--identity", kIdentity, "--data", data};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ok_ = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!ok_) return;
    // Running once the socket answers.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      HvIpcClient* probe = nullptr;
      if (HvIPC_ClientConnect(&probe, kIdentity, "VELDER_SERVICE", 1000, nullptr, nullptr) == HV_IPC_OK) {
        HvIPC_ClientClose(probe);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ok_ = false;
  }

  fs::path root_;
  pid_t pid_ = -1;
  bool ok_ = false;
  bool journal_ = true;
};

std::string Envelope(MessageType type, const std::string& path, const std::string& user = "",
                     const std::optional<json>& value = std::nullopt) {
  IpcMessage m;
  m.set_message_type(type);
  m.set_name_space("tarn");
  m.set_client("bench");
  m.set_user(user);
  m.set_path(path);
  if (value) IpcValue::FromJson(*value, &m);
  size_t count = 0;
  const uint8_t* bytes = m.Serialize(&count);
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

// One connection; records the arrival time and value of every notification.
class Client {
 public:
  Client() {
    connected_ = HvIPC_ClientConnect(&client_, kIdentity, "VELDER_SERVICE", 5000, &OnNotification, this) == HV_IPC_OK;
  }
  ~Client() {
    if (client_ != nullptr) HvIPC_ClientClose(client_);
  }
  bool connected() const { return connected_; }

  // The response's result code, or 0xFFFFFFFF when there was no response.
  uint32_t Call(const std::string& envelope) {
    uint8_t* response = nullptr;
    uint32_t count = 0;
    const uint32_t rc = HvIPC_ClientRequest(client_, HV_IPC_KIND_ENVELOPE,
                                            reinterpret_cast<const uint8_t*>(envelope.data()),
                                            static_cast<uint32_t>(envelope.size()), 10000, &response, &count);
    IpcMessage reply;
    const bool parsed = rc == HV_IPC_OK && response != nullptr && reply.Deserialize(response, count);
    HvIPC_ClientFreeBuffer(response);
    return parsed ? reply.result() : 0xFFFFFFFFu;
  }

  // Waits for the notification carrying `value`; its arrival time.
  std::optional<Clock::time_point> WaitFor(int64_t value) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return last_value_ == value; })) return std::nullopt;
    return last_time_;
  }

 private:
  static void OnNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context) {
    const Clock::time_point now = Clock::now();
    auto* self = static_cast<Client*>(context);
    if (kind != HV_IPC_KIND_ENVELOPE) return;
    IpcMessage message;
    if (!message.Deserialize(bytes, count)) return;
    const std::optional<json> value = IpcValue::ToJson(message);
    std::lock_guard lock(self->mutex_);
    if (value && value->is_number_integer()) self->last_value_ = value->get<int64_t>();
    self->last_time_ = now;
    self->arrived_.notify_all();
  }

  HvIpcClient* client_ = nullptr;
  bool connected_ = false;
  std::mutex mutex_;
  std::condition_variable arrived_;
  int64_t last_value_ = -1;
  Clock::time_point last_time_;
};

double Percentile(std::vector<double>& samples, double p) {
  if (samples.empty()) return 0;
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
  return samples[at];
}

bool Ready(benchmark::State& state) {
  if (!Service::Get().ok()) {
    state.SkipWithError("velder-host did not start");
    return false;
  }
  return true;
}

void EnsureSetting() {
  static std::once_flag once;
  std::call_once(once, [] {
    Client client;
    client.Call(Envelope(MessageType::SetValue, "bench.setting", "", json(42)));
  });
}

void BM_GetValueRoundTrip(benchmark::State& state) {
  if (!Ready(state)) return;
  EnsureSetting();
  Client client;
  const std::string request = Envelope(MessageType::GetValue, "bench.setting");
  std::vector<double> micros;
  micros.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = Clock::now();
    if (client.Call(request) != 0) state.SkipWithError("GetValue failed");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_GetValueRoundTrip)->UseRealTime();

void BM_GetValueThroughput(benchmark::State& state) {
  if (!Ready(state)) return;
  EnsureSetting();
  Client client;
  const std::string request = Envelope(MessageType::GetValue, "bench.setting");
  for (auto _ : state) {
    if (client.Call(request) != 0) state.SkipWithError("GetValue failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetValueThroughput)->Threads(1)->Threads(8)->Threads(64)->UseRealTime();

// CPU time the host's threads have run, in ns (their schedstat totals).
double HostCpuNs(pid_t pid) {
  double total = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double ns = 0;
    if (schedstat >> ns) total += ns;
  }
  return total;
}

// Arg 1: with the change journal (as shipped); 0: without, for its cost.
// host_cpu_us: the host's CPU time per write, which the machine's other
// load disturbs far less than the throughput.
void BM_SetValueThroughput(benchmark::State& state) {
  if (!Ready(state)) return;
  Client client;
  const std::string path = "bench.writer" + std::to_string(state.thread_index());
  const double cpu_before = state.thread_index() == 0 ? HostCpuNs(Service::Get().pid()) : 0;
  int64_t value = 0;
  for (auto _ : state) {
    if (client.Call(Envelope(MessageType::SetValue, path, "", json(++value))) != 0) {
      state.SkipWithError("SetValue failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    const double writes = static_cast<double>(state.iterations()) * state.threads();
    state.counters["host_cpu_us"] = (HostCpuNs(Service::Get().pid()) - cpu_before) / 1000.0 / writes;
  }
}
BENCHMARK(BM_SetValueThroughput)
    ->ArgName("journal")
    ->Arg(1)
    ->Arg(0)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    // Before the threads start; the benchmarks after this one see the
    // journal again.
    ->Setup([](const benchmark::State& state) { Service::Get().UseJournal(state.range(0) != 0); })
    ->Teardown([](const benchmark::State&) { Service::Get().UseJournal(true); });

void BM_NotificationLatency(benchmark::State& state) {
  if (!Ready(state)) return;
  Client writer, listener;
  const std::string user = "S-1-22-1-31000";
  // The setting exists first, so that each write changes one integer.
  writer.Call(Envelope(MessageType::SetValue, "latency.value", user, json(0)));
  listener.Call(Envelope(MessageType::Subscribe, "latency", user));
  std::vector<double> micros, from_request;
  int64_t value = 0;
  for (auto _ : state) {
    ++value;
    const auto sent = Clock::now();
    if (writer.Call(Envelope(MessageType::SetValue, "latency.value", user, json(value))) != 0) {
      state.SkipWithError("SetValue failed");
      break;
    }
    const auto answered = Clock::now();
    const std::optional<Clock::time_point> heard = listener.WaitFor(value);
    if (!heard) {
      state.SkipWithError("no notification");
      break;
    }
    micros.push_back(std::max(0.0, std::chrono::duration<double, std::micro>(*heard - answered).count()));
    from_request.push_back(std::chrono::duration<double, std::micro>(*heard - sent).count());
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  // From the moment the SetValue request leaves the writer.
  state.counters["from_request_p50_us"] = Percentile(from_request, 0.50);
  state.counters["from_request_p99_us"] = Percentile(from_request, 0.99);
}
BENCHMARK(BM_NotificationLatency)->UseRealTime();

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

void BM_ResidentMemory(benchmark::State& state) {
  if (!Ready(state)) return;
  constexpr int kHives = 100;
  constexpr int kSettings = 1000;
  const long before = ResidentKiB(Service::Get().pid());
  for (auto _ : state) {
    Client client;
    for (int hive = 0; hive < kHives; ++hive) {
      json settings = json::object();
      for (int i = 0; i < kSettings; ++i) settings["setting" + std::to_string(i)] = "value " + std::to_string(i);
      const std::string user = "S-1-22-1-" + std::to_string(20000 + hive);
      if (client.Call(Envelope(MessageType::SetValue, "bulk", user, settings)) != 0) {
        state.SkipWithError("SetValue failed");
        return;
      }
    }
  }
  state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024.0;
  state.counters["rss_MiB"] = static_cast<double>(ResidentKiB(Service::Get().pid())) / 1024.0;
}
BENCHMARK(BM_ResidentMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
