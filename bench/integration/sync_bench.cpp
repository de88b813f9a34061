// Synchronisation with the real settings server over TLS: velder-host with its
// plug-in and velder-settings-server in a folder of their own, started once.
//
//   PushLatency    from a change on the server (the admin call) to a
//                  `velderctl watch` client's line, over 100 changes
//                  (p50, p99 in ms)
//   FullSync       1,000 user hives, each asked to synchronise, until the
//                  server has served every one of them (hives/s)
//   IdleCpu        the host's CPU time while its 1,001 connected hives, each
//                  with its push stream, are idle for 30 s, as CPU seconds per
//                  hive per hour
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin_client.h"
#include "platform/sqlite_registry.h"
#include "support/bench_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kHives = 1000;

fs::path Bin(const std::string& name) {
  return fs::read_symlink("/proc/self/exe").parent_path() / name;
}

// A program with its standard output on a pipe (or `out_file`).
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
  Child(const std::vector<std::string>& args, const std::string& out_file = "") {
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_file.empty()) {
      if (::pipe2(fds, O_CLOEXEC) != 0) return;
      posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) {
      ::close(fds[1]);
      out = ::fdopen(fds[0], "r");
    }
  }
  std::string ReadAll() {
    std::string text;
    char buffer[4096];
    while (out != nullptr && std::fgets(buffer, sizeof buffer, out) != nullptr) text += buffer;
    return text;
  }
  int Wait() {
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      Wait();
    }
    if (out != nullptr) std::fclose(out);
  }
};

std::string Run(const std::vector<std::string>& args) {
  Child child(args);
  std::string text = child.ReadAll();
  child.Wait();
  return text;
}

// The server and the service, configured as the README says, for the life of
// the program.
class Setup {
 public:
  static Setup& Get() {
    static Setup setup;
    return setup;
  }
  bool ok() const { return ok_; }
  pid_t host_pid() const { return host_ ? host_->pid : -1; }
  const settings_server::AdminClient& admin() const { return admin_; }

  static std::string Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {Bin("velderctl").string()};
    all.insert(all.end(), args.begin(), args.end());
    return Run(all);
  }
  // Clients the server has served the product to.
  size_t ServedClients() const {
    const auto answer = admin_.Call("GET", "/admin/v1/clients");
    size_t served = 0;
    if (answer.body.is_array()) {
      for (const auto& c : answer.body) served += c.contains("products") && c["products"].contains("any") ? 1 : 0;
    }
    return served;
  }

 private:
  Setup() : admin_("", "") {
    const fs::path root = folder_.path();
    const fs::path server_dir = root / "server";
    for (const char* sub : {"ipc", "registry", "logs", "data"}) fs::create_directories(root / sub);
    ::setenv("HV_QOR_IPC_DIR", (root / "ipc").c_str(), 1);
    ::setenv("HALVERN_REGISTRY_DIR", (root / "registry").c_str(), 1);
    ::setenv("HALVERN_LIB_DIR", (Bin("velder-host").parent_path().parent_path() / "lib").c_str(), 1);
    const fs::path server_out = root / "server.out";
    server_.emplace(std::vector<std::string>{Bin("velder-settings-server").string(), "--listen", "127.0.0.1:0",
                                             "--admin-listen", "127.0.0.1:0", "--max-connections", "4000",
                                             "--data", server_dir.string(), "--access-log",
                                             (root / "access.log").string()},
                    server_out.string());
    std::string port;
    for (int i = 0; i < 300 && port.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::ifstream in(server_out);
      const std::string text((std::istreambuf_iterator<char>(in)), {});
      const std::string marker = "Listening on https://127.0.0.1:";
      if (text.find("Administration on") != std::string::npos) {
        port = text.substr(text.find(marker) + marker.size());
        port = port.substr(0, port.find('\n'));
      }
    }
    std::string error;
    if (port.empty() || !settings_server::AdminClient::FromDataDir(server_dir.string(), admin_, error)) return;
    const auto machine = admin_.Call("POST", "/admin/v1/machines", {{"name", "bench"}});
    admin_.Call("PUT", "/admin/v1/products/any/schema",
                json{{"greeting", {{"type", "string"}, {"default", "hello"}}}});
    {
      SqliteRegistry registry;
      registry.SetRootKey(HKEY_LOCAL_MACHINE);
      registry.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\Logging");
      registry.SetString("SOFTWARE\\Halvern\\QOR\\Logging", "RootPath", (root / "logs").string());
      registry.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\Velder");
      registry.SetString("SOFTWARE\\Halvern\\QOR\\Velder", "CaFile", (server_dir / "server-cert.pem").string());
      registry.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\ClientAuth");
      registry.SetString("SOFTWARE\\Halvern\\QOR\\ClientAuth", "EnrolmentSecret",
                         machine.body.value("enrolment_secret", ""));
    }
    host_.emplace(std::vector<std::string>{Bin("velder-host").string(), "--data", (root / "data").string()});
    if (host_->out == nullptr) return;
    char line[256];
    if (std::fgets(line, sizeof line, host_->out) == nullptr) return;  // "velder-host: running ..."
    Ctl({"set", "windows.velder.server", "127.0.0.1"});
    Ctl({"set", "windows.velder.port", port});
    Ctl({"sync"});
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && Ctl({"--json", "status"}).find("\"connected\":true") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ok_ = ServedClients() == 1;
  }

  bench_support::BenchFolder folder_;
  settings_server::AdminClient admin_;
  std::optional<Child> server_;
  std::optional<Child> host_;
  bool ok_ = false;
};

void PushLatency(benchmark::State& state) {
  Setup& setup = Setup::Get();
  if (!setup.ok()) return state.SkipWithError("the server and the service did not start");
  Child watch({Bin("velderctl").string(), "watch", "greeting"});
  std::this_thread::sleep_for(std::chrono::seconds(1));  // subscribed and the stream registered
  std::vector<double> ms;
  int n = 0;
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i, ++n) {
      const std::string value = "v" + std::to_string(n);
      const auto start = Clock::now();
      setup.admin().Call("PATCH", "/admin/v1/products/any/values", {{"greeting", value}});
      char line[512];
      while (std::fgets(line, sizeof line, watch.out) != nullptr &&
             std::string(line).find("\"" + value + "\"") == std::string::npos) {
      }
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}
BENCHMARK(PushLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void FullSync(benchmark::State& state) {
  Setup& setup = Setup::Get();
  if (!setup.ok()) return state.SkipWithError("the server and the service did not start");
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kHives; ++i) Setup::Ctl({"--user", "S-1-22-1-" + std::to_string(20000 + i), "sync"});
    const auto deadline = Clock::now() + std::chrono::minutes(10);
    while (setup.ServedClients() < kHives + 1 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["hives_per_s"] = static_cast<double>(setup.ServedClients() - 1) / seconds;
  }
}
BENCHMARK(FullSync)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

double HostCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field && i <= 15; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void IdleCpu(benchmark::State& state) {
  Setup& setup = Setup::Get();
  if (!setup.ok()) return state.SkipWithError("the server and the service did not start");
  const size_t hives = setup.ServedClients();
  for (auto _ : state) {
    // Idle once every hive has its push stream and the last reports are sent.
    const auto deadline = Clock::now() + std::chrono::minutes(5);
    while (setup.admin().Call("GET", "/admin/v1/status").body.value("streams", size_t{0}) < hives &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double before = HostCpuSeconds(setup.host_pid());
    std::this_thread::sleep_for(std::chrono::seconds(30));
    const double used = HostCpuSeconds(setup.host_pid()) - before;
    state.counters["cpu_s_per_hive_hour"] = used / 30.0 * 3600.0 / static_cast<double>(hives);
    state.counters["hives"] = static_cast<double>(hives);
  }
}
BENCHMARK(IdleCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
