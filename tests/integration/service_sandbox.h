// What the integration tests stand on: a sandbox folder that holds the
// service's IPC sockets, registry, data and log files, the real velder-host
// started inside it, and processes that act as an ordinary user.
//
// The sandbox points this process at its folders too ($HV_QOR_IPC_DIR,
// $HALVERN_REGISTRY_DIR, $HALVERN_LIB_DIR), so that the clients of a test
// reach the service under test and registry values written here are the
// service's. Everything is readable by an unprivileged user, who must be able
// to reach the socket.
#pragma once

#include <fcntl.h>
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

#include "client/program.h"
#include "platform/sqlite_registry.h"
#include "support/child_process.h"
#include "support/forked_child.h"
#include "support/temp_dir.h"

namespace integration {

namespace fs = std::filesystem;
using client_test::Ran;
using client_test::RunProgram;
using testing_support::BuildDir;
using testing_support::BuildProgram;

inline constexpr char kIdentity[] = "velder";
using testing_support::kNobody;
inline const std::string kNobodySid = "S-1-22-1-65534";

class Sandbox {
 public:
  Sandbox() {
    for (const fs::path& p : {ipc(), registry(), data(), logs()}) fs::create_directories(p);
    for (const fs::path& p : {root(), ipc(), logs()}) ::chmod(p.c_str(), 0755);
    ::setenv("HV_QOR_IPC_DIR", ipc().c_str(), 1);
    ::setenv("HALVERN_REGISTRY_DIR", registry().c_str(), 1);
    ::setenv("HALVERN_LIB_DIR", (BuildDir() / "lib").c_str(), 1);
    SetString("SOFTWARE\\Halvern\\QOR\\Logging", "RootPath", logs().string());
    SetDword("SOFTWARE\\Halvern\\QOR\\Logging", "LogLevel", 5);
  }
  ~Sandbox() {
    for (const char* name : {"HV_QOR_IPC_DIR", "HALVERN_REGISTRY_DIR", "HALVERN_LIB_DIR"}) ::unsetenv(name);
  }

  const fs::path& root() const { return dir_.path(); }
  fs::path ipc() const { return root() / "ipc"; }
  fs::path socket() const { return ipc() / kIdentity / "VELDER_SERVICE"; }
  fs::path registry() const { return root() / "registry"; }
  fs::path data() const { return root() / "data"; }
  fs::path logs() const { return root() / "logs"; }
  fs::path PluginLog() const { return logs() / "Halvern" / "NS" / kIdentity / "Log" / "QOR" / "VelderPlugin.log"; }
  std::string PluginLogText() const { return testing_support::ReadFile(PluginLog()); }
  // The hive file of `user` (upper-case SID text) in the data folder.
  fs::path HiveFile(const std::string& user, const std::string& kind = "local") const {
    return data() / ("tarn." + user + "." + kind + ".velder");
  }

  // A base file for SYSTEM with `schema` and `values` in a latebound folder of
  // the sandbox, and the registry value that points the service there.
  void WriteLateboundBase(const nlohmann::json& schema, const nlohmann::json& values) {
    const fs::path folder = root() / "latebound" / "100" / "settings";
    fs::create_directories(folder);
    testing_support::WriteFile(folder / "tarn.velder",
                               nlohmann::json({{"data", {{"eff_schema", schema}, {"values", values}}}}).dump());
    SetString("SOFTWARE\\Halvern\\NS\\velder\\Latebound", "LateboundPath", (root() / "latebound").string());
  }
  // The same with one string setting "greeting" (default "default") set to `greeting`.
  void WriteLateboundBase(const std::string& greeting) {
    WriteLateboundBase({{"greeting", {{"type", "string"}, {"default", "default"}}}}, {{"greeting", greeting}});
  }

  // HKEY_LOCAL_MACHINE values of the service.
  void SetString(const std::string& key, const std::string& name, const std::string& value) {
    SqliteRegistry registry;
    ASSERT_TRUE(registry.CreateKeyPath(key) && registry.SetString(key, name, value));
  }
  void SetDword(const std::string& key, const std::string& name, uint32_t value) {
    SqliteRegistry registry;
    ASSERT_TRUE(registry.CreateKeyPath(key) && registry.SetDword(key, name, value));
  }

 private:
  testing_support::TempDir dir_;
};

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
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

// A sandbox with a running velder-host (started with `arguments`), stopped
// cleanly at the end of the test unless the test stopped it.
class ServiceTest : public testing::Test {
 protected:
  void SetUp() override { StartHost(); }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(), 0) << host_->err();
    }
  }
  void StartHost(const std::vector<std::string>& arguments = {}, const std::vector<std::string>& environment = {}) {
    host_.emplace(HostProcess::DefaultArguments(sandbox_, arguments), environment);
    ASSERT_TRUE(host_->WaitRunning(std::chrono::seconds(40))) << host_->err();
  }
  void StopHost() {
    ASSERT_EQ(host_->Stop(), 0) << host_->err();
    host_.reset();
  }
  void RestartHost() {
    StopHost();
    StartHost();
  }

  Sandbox sandbox_;
  std::optional<HostProcess> host_;
};

// The same for tests that start the host themselves, with what they need.
class HostStartedByTest : public ServiceTest {
 protected:
  void SetUp() override {}
};

// A process running as nobody that reports at checkpoints and waits there
// for the test to go on; killed with the object. Made while the test runs no
// thread of its own (fork).
class UserProcess {
 public:
  template <typename Body>
  explicit UserProcess(Body body) {
    int up[2], down[2];
    if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0) return;
    report_fd_ = up[1];
    continue_fd_ = down[0];
    pid_ = testing_support::SpawnChild(
        [&] {
          ::close(up[0]);
          ::close(down[1]);
          body(*this);
          Checkpoint("");
          return 0;
        },
        kNobody);
    ::close(up[1]);
    ::close(down[0]);
    report_fd_ = up[0];
    continue_fd_ = down[1];
  }
  ~UserProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(report_fd_);
    ::close(continue_fd_);
  }

  pid_t pid() const { return pid_; }
  // In the child: reports `failures` (empty when all went well) and waits
  // until the test calls Continue (or goes).
  void Checkpoint(const std::string& failures) {
    const std::string bytes = failures + '\0';
    [[maybe_unused]] ssize_t w = ::write(report_fd_, bytes.data(), bytes.size());
    char go;
    [[maybe_unused]] ssize_t r = ::read(continue_fd_, &go, 1);
  }
  // In the test: the next report of the child ("the child failed" when it ended without one).
  std::string NextReport() {
    std::string report;
    char c;
    ssize_t r;
    while ((r = ::read(report_fd_, &c, 1)) == 1 && c != '\0') report += c;
    return r == 1 ? report : report + "the child failed";
  }
  void Continue() { [[maybe_unused]] ssize_t w = ::write(continue_fd_, "g", 1); }

 private:
  pid_t pid_ = -1;
  int report_fd_ = -1;
  int continue_fd_ = -1;
};

// Runs `body` (returning its failures, empty when all went well) as nobody
// and returns what it reported.
template <typename Body>
std::string RunAsNobody(Body body) {
  UserProcess user([&](UserProcess& self) { self.Checkpoint(body()); });
  return user.NextReport();
}

}  // namespace integration
