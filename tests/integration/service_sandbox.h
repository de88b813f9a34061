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
#include <signal.h>
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

#include <nlohmann/json.hpp>

#include "platform/sqlite_registry.h"
#include "support/child_process.h"
#include "support/temp_dir.h"


namespace integration {

namespace fs = std::filesystem;

inline constexpr char kIdentity[] = "velder";

using testing_support::BuildDir;
using testing_support::BuildProgram;

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

  // A base file for SYSTEM in a latebound folder of the sandbox, with one
  // string setting "greeting" (default "default") set to `greeting`, and the
  // registry value that points the service there.
  void WriteLateboundBase(const std::string& greeting) {
    const fs::path latebound = root_ / "latebound";
    fs::create_directories(latebound / "100" / "settings");
    // The schema root lists the top-level settings.
    const nlohmann::json schema = {{"greeting", {{"type", "string"}, {"default", "default"}}}};
    const nlohmann::json base = {{"data", {{"eff_schema", schema}, {"values", {{"greeting", greeting}}}}}};
    testing_support::WriteFile(latebound / "100" / "settings" / "tarn.velder", base.dump());
    SetString("SOFTWARE\\Halvern\\NS\\velder\\Latebound", "LateboundPath", latebound.string());
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

// A velder-host process with its standard output and error captured; killed
// when the object goes without Stop.
class HostProcess : public testing_support::ChildProcess {
 public:
  // velder-host --data <sandbox data> plus `arguments`.
  static std::vector<std::string> DefaultArguments(const Sandbox& sandbox, std::vector<std::string> arguments = {}) {
    std::vector<std::string> all = {BuildProgram("velder-host"), "--data", sandbox.data().string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
  }

  using ChildProcess::ChildProcess;

  // True once the host reports that the plug-in runs; false when it ended or
  // did not get there in time.
  bool WaitRunning(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return WaitForOutput("velder-host: running", timeout);
  }

  // Sends `signal` and returns the exit code (128 + signal when a signal
  // ended the host).
  int Stop(int signal = SIGTERM) {
    Signal(signal);
    return Wait();
  }
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
