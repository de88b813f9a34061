// The whole service through its socket: the real velder-host with the real
// plug-in, started once per benchmark program in a folder of its own. The
// shapes are the ones bench/compare runs against its peer as well.
//
//   GetValueRoundTrip     one client, one request at a time (p50, p99 in us)
//   GetValueThroughput    1, 8 and 64 clients, each on its own thread, with
//                         p50/p99 over all of them
//   SetValueInHive        writes into a hive of 1,000 or 10,000 settings,
//                         all under one object (shape 0) or spread over
//                         top-level members (shape 1), 1/8/64 clients: rate,
//                         p50/p99, and the host's CPU time per write
//   SetValueCpu           one client writing into one object of 0 (a small
//                         top-level key), 10, 100, 1,000, 10,000 settings:
//                         the host's CPU time per write by object size
//   SetValueThroughput    1 and 8 clients writing keys of their own, with
//                         the change journal (journal:1) and without it
//                         (journal:0), each run on a fresh host of its own:
//                         rate, p50/p99 and the host's CPU time per write;
//                         the journal may cost at most 10%
//   NotificationLatency   from a SetValue answer to the subscriber's
//                         notification (p50, p99 in us; 0 when the
//                         notification came first), and from the request;
//                         quiet (storm:0), and while another client writes
//                         to the same hive as fast as it can (storm:1) with
//                         0 and with 10 subscribers that never read (stalled)
//   NotificationFanOut    from sending a write to its arrival at the last
//                         of 1,000 subscribed connections, read by one
//                         thread as the peer's are (p50, p99 in us)
//   FirstAccess           a second host on 1,000 saved hives of 1,000
//                         settings: the first GetValue of each, one after
//                         the other (total ms), and the resident memory
//                         with all of them loaded
//
// Targets on a 2-core machine: GetValue p50 under 50 us, at least 40,000
// GetValue/s with 8 clients, notification p50 under 1 ms, 15,000 writes/s
// into an object of 10,000 settings with one client.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/epoll.h>
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
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/sqlite_registry.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "qor/ipc_test_support.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

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

// The sandbox of this program: socket folder, registry and logs, shared by
// every host it starts; removed at exit.
class Sandbox {
 public:
  static const fs::path& Root() {
    static Sandbox sandbox;
    return sandbox.root_;
  }
  ~Sandbox() {
    std::error_code error;
    fs::remove_all(root_, error);
  }

 private:
  Sandbox() {
    char pattern[] = "/tmp/velder-service-bench-XXXXXX";
    root_ = ::mkdtemp(pattern);
    for (const char* sub : {"ipc", "registry", "logs"}) fs::create_directories(root_ / sub);
    ::setenv("HV_QOR_IPC_DIR", (root_ / "ipc").c_str(), 1);
    ::setenv("HALVERN_REGISTRY_DIR", (root_ / "registry").c_str(), 1);
    ::setenv("HALVERN_LIB_DIR", (BuildDir() / "lib").c_str(), 1);
    // Log files stay in the sandbox, at the default level.
    SqliteRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    registry.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\Logging");
    registry.SetString("SOFTWARE\\Halvern\\QOR\\Logging", "RootPath", (root_ / "logs").string());
  }
  fs::path root_;
};

// One velder-host with a data folder of its own in the sandbox, fresh for
// each instance; restarts (Stop, Start) keep it.
class Host {
 public:
  // `environment`: "NAME=value" entries the host gets on top of this
  // program's environment.
  explicit Host(std::string identity, std::vector<std::string> environment = {})
      : root_(Sandbox::Root()),
        identity_(std::move(identity)),
        data_(root_ / ("data-" + identity_)),
        environment_(std::move(environment)) {
    std::error_code error;
    fs::remove_all(data_, error);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  ~Host() {
    Stop();
    std::error_code error;
    fs::remove_all(data_, error);
  }

  const std::string& identity() const { return identity_; }
  pid_t pid() const { return pid_; }
  fs::path socket_path() const { return root_ / "ipc" / identity_ / "VELDER_SERVICE"; }

  // Starts the host and waits until its socket answers.
  bool Start() {
    const std::string program = (BuildDir() / "bin" / "velder-host").string();
    std::vector<std::string> args = {program, "--identity", identity_, "--data", data_.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = Environment();
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const bool spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) {
      pid_ = -1;
      return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      HvIpcClient* probe = nullptr;
      if (HvIPC_ClientConnect(&probe, identity_.c_str(), "VELDER_SERVICE", 1000, nullptr, nullptr) == HV_IPC_OK) {
        HvIPC_ClientClose(probe);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Stops the host; it saves every changed hive on the way out.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  // This program's environment with environment_ in place of the same names.
  std::vector<std::string> Environment() const {
    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view variable(*e);
      const bool replaced = std::any_of(environment_.begin(), environment_.end(), [&](const std::string& own) {
        const std::string_view name(own.data(), own.find('=') + 1);
        return variable.substr(0, name.size()) == name;
      });
      if (!replaced) variables.emplace_back(variable);
    }
    variables.insert(variables.end(), environment_.begin(), environment_.end());
    return variables;
  }

  // Made in the constructor, so that the sandbox outlives a static host.
  const fs::path& root_;
  std::string identity_;
  fs::path data_;
  std::vector<std::string> environment_;
  pid_t pid_ = -1;
};

Host& MainHost() {
  static Host host(kIdentity);
  static const bool started = host.Start();
  (void)started;
  return host;
}

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
  explicit Client(const std::string& identity = kIdentity) {
    connected_ =
        HvIPC_ClientConnect(&client_, identity.c_str(), "VELDER_SERVICE", 5000, &OnNotification, this) == HV_IPC_OK;
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
                                            static_cast<uint32_t>(envelope.size()), 30000, &response, &count);
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

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// CPU time of every thread of a process so far, in microseconds (scheduler
// statistics are in nanoseconds, unlike the ticks of /proc/<pid>/stat).
double ProcessCpuMicros(pid_t pid) {
  double total = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    double ns = 0;
    if (stat >> ns) total += ns / 1000.0;
  }
  return total;
}

// Collects the latencies of all threads of one run; the last thread to finish
// reports p50/p99 over all of them and the host's CPU time per operation
// (counters are summed over threads, so only that thread sets them).
class RunRecorder {
 public:
  void Begin(const benchmark::State& state, const Host& host = MainHost()) {
    if (state.thread_index() != 0) return;
    host_pid_ = host.pid();
    cpu_start_ = ProcessCpuMicros(host_pid_);
  }
  void End(benchmark::State& state, const std::vector<double>& micros) {
    std::lock_guard lock(mutex_);
    all_.insert(all_.end(), micros.begin(), micros.end());
    if (++arrived_ < state.threads()) return;
    const double cpu = ProcessCpuMicros(host_pid_) - cpu_start_;
    state.counters["host_cpu_us_per_op"] = all_.empty() ? 0 : cpu / static_cast<double>(all_.size());
    state.counters["p50_us"] = Percentile(all_, 0.50);
    state.counters["p99_us"] = Percentile(all_, 0.99);
    all_.clear();
    arrived_ = 0;
  }

 private:
  std::mutex mutex_;
  std::vector<double> all_;
  int arrived_ = 0;
  pid_t host_pid_ = -1;
  double cpu_start_ = 0;
};

bool Ready(benchmark::State& state) {
  if (MainHost().pid() <= 0) {
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
    micros.push_back(Micros(Clock::now() - start));
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_GetValueRoundTrip)->UseRealTime();

void BM_GetValueThroughput(benchmark::State& state) {
  static RunRecorder recorder;
  if (!Ready(state)) return;
  EnsureSetting();
  Client client;
  const std::string request = Envelope(MessageType::GetValue, "bench.setting");
  std::vector<double> micros;
  micros.reserve(1 << 16);
  recorder.Begin(state);
  for (auto _ : state) {
    const auto start = Clock::now();
    if (client.Call(request) != 0) state.SkipWithError("GetValue failed");
    micros.push_back(Micros(Clock::now() - start));
  }
  state.SetItemsProcessed(state.iterations());
  recorder.End(state, micros);
}
BENCHMARK(BM_GetValueThroughput)->Threads(1)->Threads(8)->Threads(64)->UseRealTime();

// The hive of a write shape, filled once: `settings` members of the object
// "obj", or `settings` top-level members; 0 settings is one small top-level
// key in a hive of its own.
std::string ShapeUser(int64_t settings, int64_t spread) {
  static std::mutex mutex;
  static std::map<std::pair<int64_t, int64_t>, std::string> users;
  std::lock_guard lock(mutex);
  auto [it, created] = users.try_emplace({settings, spread});
  if (!created) return it->second;
  it->second = "S-1-22-1-" + std::to_string(41000 + users.size());
  Client client;
  if (spread != 0) {
    for (int64_t i = 0; i < settings; ++i) {
      client.Call(Envelope(MessageType::SetValue, "s" + std::to_string(i), it->second, json(i)));
    }
  } else {
    json object = json::object();
    for (int64_t i = 0; i < settings; ++i) object["s" + std::to_string(i)] = i;
    client.Call(Envelope(MessageType::SetValue, settings == 0 ? "small" : "obj", it->second,
                         settings == 0 ? json(0) : object));
  }
  return it->second;
}

std::string ShapePath(int64_t settings, int64_t spread, int64_t index) {
  if (settings == 0) return "small";
  const std::string key = "s" + std::to_string(index % settings);
  return spread != 0 ? key : "obj." + key;
}

void SetValueLoop(benchmark::State& state, RunRecorder& recorder, int64_t settings, int64_t spread) {
  if (!Ready(state)) return;
  const std::string user = ShapeUser(settings, spread);
  Client client;
  std::vector<double> micros;
  micros.reserve(1 << 16);
  // Every write changes the value: the thread's own range of numbers.
  int64_t value = static_cast<int64_t>(state.thread_index()) << 40;
  int64_t index = state.thread_index() * 7919;
  recorder.Begin(state);
  for (auto _ : state) {
    const std::string request = Envelope(MessageType::SetValue, ShapePath(settings, spread, index++), user, json(++value));
    const auto start = Clock::now();
    if (client.Call(request) != 0) state.SkipWithError("SetValue failed");
    micros.push_back(Micros(Clock::now() - start));
  }
  state.SetItemsProcessed(state.iterations());
  recorder.End(state, micros);
}

void BM_SetValueInHive(benchmark::State& state) {
  static RunRecorder recorder;
  SetValueLoop(state, recorder, state.range(0), state.range(1));
}
BENCHMARK(BM_SetValueInHive)
    ->ArgsProduct({{1000, 10000}, {0, 1}})
    ->ArgNames({"settings", "spread"})
    ->Threads(1)
    ->Threads(8)
    ->Threads(64)
    ->MinTime(0.5)
    ->UseRealTime();

void BM_SetValueCpu(benchmark::State& state) {
  static RunRecorder recorder;
  SetValueLoop(state, recorder, state.range(0), 0);
}
BENCHMARK(BM_SetValueCpu)->Arg(0)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->ArgName("settings")->MinTime(0.5)->UseRealTime();

// The host of one SetValueThroughput run: started before its threads, on a
// fresh folder, so that both journal settings begin from the same state.
std::unique_ptr<Host>& ThroughputHost() {
  static std::unique_ptr<Host> host;
  return host;
}

// Arg 1: with the change journal (as shipped); 0: without, for its cost.
void BM_SetValueThroughput(benchmark::State& state) {
  static RunRecorder recorder;
  const Host* host = ThroughputHost().get();
  if (host == nullptr || host->pid() <= 0) {
    state.SkipWithError("velder-host did not start");
    return;
  }
  Client client(host->identity());
  const std::string path = "bench.writer" + std::to_string(state.thread_index());
  std::vector<double> micros;
  micros.reserve(1 << 16);
  int64_t value = 0;
  recorder.Begin(state, *host);
  for (auto _ : state) {
    const std::string request = Envelope(MessageType::SetValue, path, "", json(++value));
    const auto start = Clock::now();
    if (client.Call(request) != 0) state.SkipWithError("SetValue failed");
    micros.push_back(Micros(Clock::now() - start));
  }
  state.SetItemsProcessed(state.iterations());
  recorder.End(state, micros);
}
BENCHMARK(BM_SetValueThroughput)
    ->ArgName("journal")
    ->Arg(1)
    ->Arg(0)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->Setup([](const benchmark::State& state) {
      const bool journal = state.range(0) != 0;
      ThroughputHost().reset();  // the old folder goes before the new host starts
      ThroughputHost() = std::make_unique<Host>(
          "velder-bench-journal", std::vector<std::string>{journal ? "VELDER_JOURNAL=on" : "VELDER_JOURNAL=off"});
      if (!ThroughputHost()->Start()) ThroughputHost()->Stop();
    })
    ->Teardown([](const benchmark::State&) { ThroughputHost().reset(); });

// The latency a watcher sees; with storm:1 while another client writes to
// the same hive as fast as it can and `stalled` connections subscribed to the
// whole hive never read what they are sent.
void BM_NotificationLatency(benchmark::State& state) {
  if (!Ready(state)) return;
  const bool storm = state.range(0) != 0;
  const int64_t stalled = state.range(1);
  Client writer, listener;
  // A hive of each variant's own.
  const std::string user = "S-1-22-1-" + std::to_string(31000 + 100 * state.range(0) + stalled);
  // The setting exists first, so that each write changes one integer.
  writer.Call(Envelope(MessageType::SetValue, "latency.value", user, json(0)));
  listener.Call(Envelope(MessageType::Subscribe, "latency", user));
  std::vector<std::unique_ptr<ipc_test::RawSocket>> stalled_subscribers;
  for (int64_t i = 0; i < stalled; ++i) {
    auto connection = std::make_unique<ipc_test::RawSocket>(MainHost().socket_path());
    const std::string subscribe = Envelope(MessageType::Subscribe, "", user);
    if (!connection->connected() ||
        !connection->Write(ipc_test::RawFrame(HV_IPC_FRAME_REQUEST, ipc_test::U32(1) + ipc_test::U32(HV_IPC_KIND_ENVELOPE) + subscribe))) {
      state.SkipWithError("a stalled subscriber could not connect");
      return;
    }
    stalled_subscribers.push_back(std::move(connection));
  }
  std::atomic<bool> storming{storm};
  std::thread stormer;
  if (storm) {
    stormer = std::thread([&] {
      Client client;
      const std::string chunk(2048, 's');
      for (int64_t i = 0; storming.load(std::memory_order_relaxed); ++i) {
        client.Call(Envelope(MessageType::SetValue, "storm.value", user, json(chunk + std::to_string(i))));
      }
    });
  }
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
    micros.push_back(std::max(0.0, Micros(*heard - answered)));
    from_request.push_back(Micros(*heard - sent));
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  // From the moment the SetValue request leaves the writer.
  state.counters["from_request_p50_us"] = Percentile(from_request, 0.50);
  state.counters["from_request_p99_us"] = Percentile(from_request, 0.99);
  storming = false;
  if (stormer.joinable()) stormer.join();
}
BENCHMARK(BM_NotificationLatency)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 10})
    ->ArgNames({"storm", "stalled"})
    ->UseRealTime();

// The watchers are raw connections that one thread reads through epoll, as
// the peer's subscribers are: the figure is the service's fan-out, not the
// wake-ups of 1,000 client-library reader threads on two cores.
void BM_NotificationFanOut(benchmark::State& state) {
  if (!Ready(state)) return;
  const int watchers = static_cast<int>(state.range(0));
  const std::string user = "S-1-22-1-32000";
  Client writer;
  writer.Call(Envelope(MessageType::SetValue, "fanout.value", user, json(0)));
  const std::string subscribe =
      ipc_test::RawFrame(HV_IPC_FRAME_REQUEST, ipc_test::U32(1) + ipc_test::U32(HV_IPC_KIND_ENVELOPE) +
                                                   Envelope(MessageType::Subscribe, "fanout", user));
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<std::unique_ptr<ipc_test::RawSocket>> sockets;
  for (int i = 0; i < watchers; ++i) {
    auto socket = std::make_unique<ipc_test::RawSocket>(MainHost().socket_path());
    uint8_t kind = 0;
    std::string body;
    bool answered = socket->connected() && !socket->ReadHello().empty() && socket->Write(subscribe);
    while (answered && kind != HV_IPC_FRAME_RESPONSE) answered = socket->ReadFrame(&kind, &body);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<uint32_t>(i);
    if (!answered || ::epoll_ctl(epoll, EPOLL_CTL_ADD, socket->fd(), &event) != 0) {
      state.SkipWithError("a watcher could not subscribe");
      ::close(epoll);
      return;
    }
    sockets.push_back(std::move(socket));
  }
  std::vector<std::string> unread(static_cast<size_t>(watchers));
  std::vector<epoll_event> events(static_cast<size_t>(watchers));
  std::vector<double> micros;
  int64_t value = 0;
  char buffer[65536];
  for (auto _ : state) {
    const std::string request = Envelope(MessageType::SetValue, "fanout.value", user, json(++value));
    const auto sent = Clock::now();
    if (writer.Call(request) != 0) {
      state.SkipWithError("SetValue failed");
      break;
    }
    Clock::time_point last;
    int heard = 0;
    while (heard < watchers) {
      const int ready = ::epoll_wait(epoll, events.data(), watchers, 10000);
      if (ready <= 0) break;
      for (int e = 0; e < ready; ++e) {
        const uint32_t i = events[static_cast<size_t>(e)].data.u32;
        const ssize_t n = ::read(sockets[i]->fd(), buffer, sizeof(buffer));
        if (n <= 0) continue;
        std::string& bytes = unread[i];
        bytes.append(buffer, static_cast<size_t>(n));
        // Whole frames only: length (4 bytes, little-endian), kind, body.
        while (bytes.size() >= 5) {
          uint32_t length = 0;
          for (int b = 0; b < 4; ++b) length |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[b])) << (8 * b);
          if (bytes.size() < 5 + static_cast<size_t>(length)) break;
          if (static_cast<uint8_t>(bytes[4]) == HV_IPC_FRAME_NOTIFICATION) {
            ++heard;
            last = Clock::now();
          }
          bytes.erase(0, 5 + static_cast<size_t>(length));
        }
      }
    }
    if (heard < watchers) {
      state.SkipWithError("a watcher missed the notification");
      break;
    }
    micros.push_back(Micros(last - sent));
  }
  ::close(epoll);
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_NotificationFanOut)->Arg(1000)->ArgName("watchers")->Iterations(50)->UseRealTime();

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

void BM_FirstAccess(benchmark::State& state) {
  const int hives = static_cast<int>(state.range(0));
  const int settings = static_cast<int>(state.range(1));
  Host host("velder-bench-load");
  if (!host.Start()) {
    state.SkipWithError("velder-host did not start");
    return;
  }
  auto user = [](int hive) { return "S-1-22-1-" + std::to_string(50000 + hive); };
  {
    Client client(host.identity());
    json object = json::object();
    for (int i = 0; i < settings; ++i) object["setting" + std::to_string(i)] = "value " + std::to_string(i);
    for (int hive = 0; hive < hives; ++hive) {
      if (client.Call(Envelope(MessageType::SetValue, "bulk", user(hive), object)) != 0) {
        state.SkipWithError("SetValue failed");
        return;
      }
    }
  }
  // The saved files are all the second start has.
  host.Stop();
  if (!host.Start()) {
    state.SkipWithError("velder-host did not start again");
    return;
  }
  const long before = ResidentKiB(host.pid());
  std::vector<std::string> requests;
  for (int hive = 0; hive < hives; ++hive) requests.push_back(Envelope(MessageType::GetValue, "bulk.setting1", user(hive)));
  Client client(host.identity());
  double millis = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const std::string& request : requests) {
      if (client.Call(request) != 0) {
        state.SkipWithError("GetValue failed");
        return;
      }
    }
    millis = Micros(Clock::now() - start) / 1000.0;
  }
  state.counters["first_access_ms"] = millis;
  state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024.0;
  state.counters["rss_MiB"] = static_cast<double>(ResidentKiB(host.pid())) / 1024.0;
}
BENCHMARK(BM_FirstAccess)
    ->Args({1000, 1000})
    ->ArgNames({"hives", "settings"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
