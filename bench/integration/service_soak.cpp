// velder-soak MINUTES: the real velder-host under a mixed load for a bounded
// time. Many clients on threads of their own read, write and delete settings
// of several users, subscribe to them (and so receive notifications), and
// disconnect and connect again now and then. Every minute (VELDER_SOAK_PERIOD
// seconds, for short runs) one line: requests per second, p99 latency, the
// host's resident memory and open descriptors. Exit 1 when memory or
// descriptors grew at every sample after the warm-up (the first period) and
// ended clearly above where they started, or when requests failed.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/sqlite_registry.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr char kIdentity[] = "velder-soak";
constexpr int kClients = 24;
const char* const kUsers[] = {"", "S-1-22-1-32001", "S-1-22-1-32002", "S-1-22-1-32003", "S-1-22-1-32004"};

std::string Envelope(MessageType type, const std::string& path, const std::string& user,
                     const std::optional<json>& value = std::nullopt) {
  IpcMessage m;
  m.set_message_type(type);
  m.set_name_space("tarn");
  m.set_client("soak");
  m.set_user(user);
  m.set_path(path);
  if (value) IpcValue::FromJson(*value, &m);
  size_t count = 0;
  const uint8_t* bytes = m.Serialize(&count);
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

// Result code of the answer; -1 when none came.
int64_t Call(HvIpcClient* client, const std::string& envelope) {
  uint8_t* response = nullptr;
  uint32_t count = 0;
  const uint32_t rc = HvIPC_ClientRequest(client, HV_IPC_KIND_ENVELOPE, reinterpret_cast<const uint8_t*>(envelope.data()),
                                          static_cast<uint32_t>(envelope.size()), 10000, &response, &count);
  IpcMessage reply;
  const bool parsed = rc == HV_IPC_OK && response != nullptr && reply.Deserialize(response, count);
  HvIPC_ClientFreeBuffer(response);
  return parsed ? reply.result() : -1;
}

void OnNotification(uint32_t, const uint8_t*, uint32_t, void* context) {
  static_cast<std::atomic<int64_t>*>(context)->fetch_add(1, std::memory_order_relaxed);
}

int64_t HostValue(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field));
  }
  return -1;
}

int64_t HostFds(pid_t pid) {
  std::error_code error;
  int64_t n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    ++n;
  }
  return n;
}

// Grew at every sample after the warm-up and ended `margin` above the first.
bool GrewSteadily(const std::vector<int64_t>& samples, int64_t margin) {
  if (samples.size() < 3) return false;
  for (size_t i = 2; i < samples.size(); ++i) {
    if (samples[i] <= samples[i - 1]) return false;
  }
  return samples.back() - samples[1] > margin;
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 30;
  const char* period_setting = std::getenv("VELDER_SOAK_PERIOD");
  const auto period = std::chrono::seconds(period_setting != nullptr ? std::atoi(period_setting) : 60);
  const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();

  char pattern[] = "/tmp/velder-soak-XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  for (const char* sub : {"ipc", "registry", "logs", "data"}) fs::create_directories(root / sub);
  ::setenv("HV_QOR_IPC_DIR", (root / "ipc").c_str(), 1);
  ::setenv("HALVERN_REGISTRY_DIR", (root / "registry").c_str(), 1);
  ::setenv("HALVERN_LIB_DIR", (build / "lib").c_str(), 1);
  {
    SqliteRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    registry.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\Logging");
    registry.SetString("SOFTWARE\\Halvern\\QOR\\Logging", "RootPath", (root / "logs").string());
  }
  std::string program = (build / "bin" / "velder-host").string();
  std::string data = (root / "data").string();
  std::vector<std::string> args = {program, "--identity", kIdentity, "--data", data};
  std::vector<char*> argv_host;
  for (auto& a : args) argv_host.push_back(a.data());
  argv_host.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv_host.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", program.c_str());
    return 2;
  }
  bool up = false;
  for (int i = 0; i < 1500 && !up; ++i) {
    HvIpcClient* probe = nullptr;
    up = HvIPC_ClientConnect(&probe, kIdentity, "VELDER_SERVICE", 1000, nullptr, nullptr) == HV_IPC_OK;
    if (up) HvIPC_ClientClose(probe);
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!up) {
    std::fprintf(stderr, "velder-host did not answer\n");
    ::kill(pid, SIGKILL);
    return 2;
  }

  std::atomic<bool> stop{false};
  std::atomic<int64_t> failures{0}, notifications{0};
  std::mutex mutex;
  std::vector<double> latencies;  // microseconds, this period
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937 random(static_cast<uint32_t>(c));
      std::vector<double> mine;
      HvIpcClient* client = nullptr;
      while (!stop) {
        if (client == nullptr &&
            HvIPC_ClientConnect(&client, kIdentity, "VELDER_SERVICE", 5000, &OnNotification, &notifications) !=
                HV_IPC_OK) {
          ++failures;
          client = nullptr;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          continue;
        }
        const std::string user = kUsers[random() % std::size(kUsers)];
        const std::string path = "soak.c" + std::to_string(c % 8) + ".k" + std::to_string(random() % 50);
        const uint32_t pick = random() % 100;
        std::string envelope;
        if (pick < 55) {
          envelope = Envelope(MessageType::GetValue, path, user);
        } else if (pick < 85) {
          envelope = Envelope(MessageType::SetValue, path, user, json(static_cast<int64_t>(random())));
        } else if (pick < 92) {
          envelope = Envelope(MessageType::DeleteValue, path, user);
        } else if (pick < 97) {
          envelope = Envelope(MessageType::Subscribe, "soak.c" + std::to_string(random() % 8), user);
        } else {
          envelope = Envelope(MessageType::Unsubscribe, "soak.c" + std::to_string(random() % 8), user);
        }
        const auto start = Clock::now();
        const int64_t result = Call(client, envelope);
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        // NotFound (10) is an answer: deletes and reads of settings not yet written.
        if (result != 0 && result != 10) ++failures;
        if (random() % 500 == 0) {  // disconnect, with its subscriptions
          HvIPC_ClientClose(client);
          client = nullptr;
        }
        if (mine.size() >= 256) {
          std::lock_guard lock(mutex);
          latencies.insert(latencies.end(), mine.begin(), mine.end());
          mine.clear();
        }
      }
      if (client != nullptr) HvIPC_ClientClose(client);
    });
  }

  std::vector<int64_t> rss, fds;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
  std::printf("%-8s %12s %10s %10s %8s %14s\n", "period", "requests/s", "p99 us", "RSS KiB", "fds", "notifications");
  for (int n = 1; Clock::now() < end; ++n) {
    const auto period_end = std::min(end, Clock::now() + period);
    std::this_thread::sleep_until(period_end);
    std::vector<double> taken;
    {
      std::lock_guard lock(mutex);
      taken.swap(latencies);
    }
    const double seconds = std::chrono::duration<double>(period).count();
    double p99 = 0;
    if (!taken.empty()) {
      const size_t at = std::min(taken.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(taken.size())));
      std::nth_element(taken.begin(), taken.begin() + static_cast<std::ptrdiff_t>(at), taken.end());
      p99 = taken[at];
    }
    rss.push_back(HostValue(pid, "VmRSS:"));
    fds.push_back(HostFds(pid));
    std::printf("%-8d %12.0f %10.0f %10lld %8lld %14lld\n", n, static_cast<double>(taken.size()) / seconds, p99,
                static_cast<long long>(rss.back()), static_cast<long long>(fds.back()),
                static_cast<long long>(notifications.exchange(0)));
    std::fflush(stdout);
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::error_code error;
  fs::remove_all(root, error);

  bool ok = true;
  if (GrewSteadily(rss, 8 * 1024)) {
    std::printf("FAIL: resident memory grew at every sample after the warm-up\n");
    ok = false;
  }
  if (GrewSteadily(fds, 8)) {
    std::printf("FAIL: open descriptors grew at every sample after the warm-up\n");
    ok = false;
  }
  if (failures > 0) {
    std::printf("FAIL: %lld requests failed\n", static_cast<long long>(failures.load()));
    ok = false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("FAIL: velder-host ended with status %d\n", status);
    ok = false;
  }
  std::printf("%s\n", ok ? "soak passed" : "soak failed");
  return ok ? 0 : 1;
}
