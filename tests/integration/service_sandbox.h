// What the integration tests stand on: a sandbox folder that holds the
// service's IPC sockets, registry, data and log files, and the real
// velder-host started inside it.
//
// The sandbox points this process at its folders too ($HV_QOR_IPC_DIR,
// $HALVERN_REGISTRY_DIR, $HALVERN_LIB_DIR), so that the clients of a test
// reach the service under test and registry values written here are the
// service's. Everything is readable by an unprivileged user, who must be able
// to reach the socket.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sqlite_registry.h"
#include "support/temp_dir.h"

extern char** environ;

namespace integration {

namespace fs = std::filesystem;

inline constexpr char kIdentity[] = "velder";

// $VELDER_BUILD_DIR, where the programs and libraries of the build are.
inline fs::path BuildDir() {
  const char* dir = std::getenv("VELDER_BUILD_DIR");
  return dir != nullptr ? fs::path(dir) : fs::current_path();
}

inline std::string BuildProgram(const std::string& name) { return (BuildDir() / "bin" / name).string(); }

class Sandbox {
 public:
  Sandbox() {
    root_ = dir_.path();
    for (const fs::path& p : {ipc(), registry(), data(), logs()}) fs::create_directories(p);
    for (const fs::path& p : {root_, ipc(), logs()}) ::chmod(p.c_str(), 0755);
    ::setenv("HV_QOR_IPC_DIR", ipc().c_str(), 1);
    ::setenv("HALVERN_REGISTRY_DIR", registry().c_str(), 1);
    ::setenv("HALVERN_LIB_DIR", (BuildDir() / "lib").c_str(), 1);
    SetString("SOFTWARE\\Halvern\\QOR\\Logging", "RootPath", logs().string());
    SetDword("SOFTWARE\\Halvern\\QOR\\Logging", "LogLevel", 5);
  }
  ~Sandbox() {
    ::unsetenv("HV_QOR_IPC_DIR");
    ::unsetenv("HALVERN_REGISTRY_DIR");
    ::unsetenv("HALVERN_LIB_DIR");
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const fs::path& root() const { return root_; }
  fs::path ipc() const { return root_ / "ipc"; }
  fs::path registry() const { return root_ / "registry"; }
  fs::path data() const { return root_ / "data"; }
  fs::path logs() const { return root_ / "logs"; }
  fs::path PluginLog(const std::string& identity = kIdentity) const {
    return logs() / "Halvern" / "NS" / identity / "Log" / "QOR" / "VelderPlugin.log";
  }
  std::string PluginLogText(const std::string& identity = kIdentity) const {
    return testing_support::ReadFile(PluginLog(identity));
  }
  // The hive file of `user` (upper-case SID text) in the data folder.
  fs::path HiveFile(const std::string& user, const std::string& kind = "local") const {
    return data() / ("tarn." + user + "." + kind + ".velder");
  }

  // HKEY_LOCAL_MACHINE values of the service.
  void SetString(const std::string& key, const std::string& name, const std::string& value) {
    SqliteRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(registry.CreateKeyPath(key));
    ASSERT_TRUE(registry.SetString(key, name, value));
  }
  void SetDword(const std::string& key, const std::string& name, uint32_t value) {
    SqliteRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(registry.CreateKeyPath(key));
    ASSERT_TRUE(registry.SetDword(key, name, value));
  }

 private:
  testing_support::TempDir dir_;
  fs::path root_;
};

// Waits until `predicate` holds, at most `timeout`.
template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A velder-host process with its standard output and error captured. The
// environment is this process's plus `extra_environment`; killed when the
// object goes without Stop.
class HostProcess {
 public:
  // velder-host --data <sandbox data> plus `arguments`. An entry of
  // `extra_environment` without "=" removes that variable.
  static std::vector<std::string> DefaultArguments(const Sandbox& sandbox, std::vector<std::string> arguments = {}) {
    std::vector<std::string> all = {BuildProgram("velder-host"), "--data", sandbox.data().string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
  }

  explicit HostProcess(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& extra_environment = {}) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    for (const std::string& extra : extra_environment) {
      const std::string name = extra.substr(0, extra.find('='));
      std::erase_if(environment, [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
      if (extra.find('=') != std::string::npos) environment.push_back(extra);
    }
    std::vector<char*> argv, envp;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    EXPECT_EQ(rc, 0) << "cannot start " << arguments[0];
    if (rc != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~HostProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }

  // True once the host reports that the plug-in runs; false when it ended or
  // did not get there in time.
  bool WaitRunning(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.find("velder-host: running") == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // Sends `signal` and returns the exit code (128 + signal when a signal
  // ended the host).
  int Stop(int signal = SIGTERM) {
    Signal(signal);
    return Wait();
  }

  // Reads both outputs to their end and returns the exit code.
  int Wait() {
    while (out_fd_ >= 0 || err_fd_ >= 0) {
      if (!Pump(-1)) break;
    }
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  bool Pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int n = ::poll(fds, 2, timeout_ms);
    if (n <= 0) return false;
    ReadFrom(fds[0], &out_fd_, &out_);
    ReadFrom(fds[1], &err_fd_, &err_);
    return out_fd_ >= 0 || err_fd_ >= 0;
  }
  static void ReadFrom(const pollfd& p, int* fd, std::string* into) {
    if (*fd < 0 || p.revents == 0) return;
    char buffer[4096];
    const ssize_t r = ::read(*fd, buffer, sizeof buffer);
    if (r > 0) {
      into->append(buffer, static_cast<size_t>(r));
    } else {
      ::close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

// Runs `body` in a child process as the unprivileged user `uid` (group
// `gid`) and returns what it reported: an empty text when all went well, else
// the failures. The caller must have no threads of its own running (fork).
template <typename Body>
std::string RunAsUser(uid_t uid, gid_t gid, Body body) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    ::close(pipe_fds[0]);
    std::string report;
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
      report = "cannot become the user";
    } else {
      report = body();
    }
    const char* p = report.data();
    size_t left = report.size();
    while (left > 0) {
      const ssize_t w = ::write(pipe_fds[1], p, left);
      if (w <= 0) break;
      p += w;
      left -= static_cast<size_t>(w);
    }
    ::_exit(report.empty() ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::string report;
  char buffer[1024];
  for (ssize_t r; (r = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(r));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (report.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) report = "the child failed";
  return report;
}

}  // namespace integration
