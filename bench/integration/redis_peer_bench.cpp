// The peer of the service benchmark for the shapes redis-benchmark cannot
// run: a redis-server from the PATH over a Unix socket, spoken to in its own
// protocol. bench/compare prints these beside the service's figures.
//
//   RedisNotificationFanOut   from sending a SET to the arrival of its
//                             keyspace event at the last of 1,000
//                             subscribed connections (p50, p99 in us)
//   RedisLoad                 1,000 hashes of 1,000 fields saved, then a
//                             fresh server started on the file: the time
//                             until the first field of each hash was read
//                             (total ms), and its resident memory
//
// Without redis-server on the PATH every benchmark is skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double>& samples, double p) {
  if (samples.empty()) return 0;
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
  return samples[at];
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// One connection speaking the server's request/reply protocol.
class Connection {
 public:
  explicit Connection(const std::string& socket_path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends one command without waiting for its reply.
  bool Send(const std::vector<std::string>& args) {
    std::string out = "*" + std::to_string(args.size()) + "\r\n";
    for (const std::string& a : args) out += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads one whole reply; its first line (e.g. "+OK", "-LOADING ...").
  std::string Reply() {
    std::string first = Line();
    if (first.empty()) return first;
    if (first[0] == '$') {
      const long length = std::stol(first.substr(1));
      if (length >= 0) Bytes(static_cast<size_t>(length) + 2);
    } else if (first[0] == '*') {
      const long count = std::stol(first.substr(1));
      for (long i = 0; i < count; ++i) Reply();
    }
    return first;
  }
  std::string Call(const std::vector<std::string>& args) { return Send(args) ? Reply() : std::string(); }

 private:
  bool Fill() {
    char chunk[64 * 1024];
    const ssize_t n = ::read(fd_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  std::string Line() {
    size_t end;
    while ((end = buffer_.find("\r\n", offset_)) == std::string::npos) {
      if (!Fill()) return std::string();
    }
    std::string line = buffer_.substr(offset_, end - offset_);
    offset_ = end + 2;
    Compact();
    return line;
  }
  void Bytes(size_t count) {
    while (buffer_.size() - offset_ < count) {
      if (!Fill()) return;
    }
    offset_ += count;
    Compact();
  }
  void Compact() {
    if (offset_ > 1 << 20 || offset_ == buffer_.size()) {
      buffer_.erase(0, offset_);
      offset_ = 0;
    }
  }

  int fd_ = -1;
  std::string buffer_;
  size_t offset_ = 0;
};

// redis-server on a socket in a folder of its own, as bench/compare starts it.
class Server {
 public:
  explicit Server(fs::path dir) : dir_(std::move(dir)) {}
  ~Server() { Stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  std::string socket() const { return (dir_ / "redis.sock").string(); }
  pid_t pid() const { return pid_; }

  // Starts the server and waits until it answers PING (after loading).
  bool Start() {
    std::vector<std::string> args = {"redis-server", "--port", "0", "--unixsocket", socket(), "--save", "",
                                     "--appendonly", "no", "--dir", dir_.string(), "--dbfilename", "dump.rdb"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const bool spawned = ::posix_spawnp(&pid_, "redis-server", &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) {
      pid_ = -1;
      return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      Connection probe(socket());
      if (probe.ok() && probe.Call({"PING"}) == "+PONG") return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

fs::path MakeDir() {
  char pattern[] = "/tmp/velder-redis-peer-XXXXXX";
  return ::mkdtemp(pattern);
}

void BM_RedisNotificationFanOut(benchmark::State& state) {
  const int watchers = static_cast<int>(state.range(0));
  const fs::path dir = MakeDir();
  {
    Server server(dir);
    if (!server.Start()) {
      state.SkipWithError("redis-server did not start (is it installed?)");
      return;
    }
    Connection writer(server.socket());
    writer.Call({"CONFIG", "SET", "notify-keyspace-events", "K$"});
    writer.Call({"SET", "fanout", "0"});
    std::vector<std::unique_ptr<Connection>> listeners;
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < watchers; ++i) {
      listeners.push_back(std::make_unique<Connection>(server.socket()));
      Connection& c = *listeners.back();
      if (!c.ok() || c.Call({"SUBSCRIBE", "__keyspace@0__:fanout"}).empty()) {
        state.SkipWithError("a watcher could not subscribe");
        ::close(epoll);
        return;
      }
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u32 = static_cast<uint32_t>(i);
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd(), &event);
    }
    std::vector<double> micros;
    std::vector<epoll_event> events(static_cast<size_t>(watchers));
    int64_t value = 0;
    for (auto _ : state) {
      const auto sent = Clock::now();
      if (writer.Call({"SET", "fanout", std::to_string(++value)}) != "+OK") {
        state.SkipWithError("SET failed");
        break;
      }
      int heard = 0;
      Clock::time_point last;
      while (heard < watchers) {
        const int n = ::epoll_wait(epoll, events.data(), watchers, 10000);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
          // Each event is one "message" reply of three parts.
          listeners[events[static_cast<size_t>(i)].data.u32]->Reply();
          ++heard;
        }
        last = Clock::now();
      }
      if (heard < watchers) {
        state.SkipWithError("a watcher missed the event");
        break;
      }
      micros.push_back(Micros(last - sent));
    }
    ::close(epoll);
    state.counters["p50_us"] = Percentile(micros, 0.50);
    state.counters["p99_us"] = Percentile(micros, 0.99);
  }
  std::error_code error;
  fs::remove_all(dir, error);
}
BENCHMARK(BM_RedisNotificationFanOut)->Arg(1000)->ArgName("watchers")->Iterations(50)->UseRealTime();

void BM_RedisLoad(benchmark::State& state) {
  const int hashes = static_cast<int>(state.range(0));
  const int fields = static_cast<int>(state.range(1));
  const fs::path dir = MakeDir();
  {
    Server server(dir);
    if (!server.Start()) {
      state.SkipWithError("redis-server did not start (is it installed?)");
      return;
    }
    {
      Connection c(server.socket());
      for (int h = 0; h < hashes; ++h) {
        std::vector<std::string> args = {"HSET", "hive:" + std::to_string(h)};
        for (int i = 0; i < fields; ++i) {
          args.push_back("setting" + std::to_string(i));
          args.push_back("value " + std::to_string(i));
        }
        c.Send(args);
      }
      for (int h = 0; h < hashes; ++h) c.Reply();
      if (c.Call({"SAVE"}) != "+OK") {
        state.SkipWithError("SAVE failed");
        return;
      }
    }
    server.Stop();
    double millis = 0;
    for (auto _ : state) {
      const auto start = Clock::now();
      if (!server.Start()) {
        state.SkipWithError("redis-server did not start again");
        return;
      }
      Connection c(server.socket());
      for (int h = 0; h < hashes; ++h) {
        if (c.Call({"HGET", "hive:" + std::to_string(h), "setting1"}) != "$7") {
          state.SkipWithError("HGET failed");
          return;
        }
      }
      millis = Micros(Clock::now() - start) / 1000.0;
    }
    state.counters["first_access_ms"] = millis;
    state.counters["rss_MiB"] = static_cast<double>(ResidentKiB(server.pid())) / 1024.0;
  }
  std::error_code error;
  fs::remove_all(dir, error);
}
BENCHMARK(BM_RedisLoad)
    ->Args({1000, 1000})
    ->ArgNames({"hashes", "fields"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
