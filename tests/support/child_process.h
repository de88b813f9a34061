// A program of the build run as a child process with its standard output and
// error captured, for tests that drive the real programs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace testing_support {

// $VELDER_BUILD_DIR, where the programs and libraries of the build are.
inline std::filesystem::path BuildDir() {
  const char* dir = std::getenv("VELDER_BUILD_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::current_path();
}

// $VELDER_BUILD_DIR/bin/<name>.
inline std::string BuildProgram(const std::string& name) { return (BuildDir() / "bin" / name).string(); }

// The environment is this process's plus `extra_environment`, where an entry
// without "=" removes that variable. Standard input is /dev/null. Killed when
// the object goes before it was waited for.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments,
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
      const std::string prefix = extra.substr(0, extra.find('=')) + "=";
      std::erase_if(environment, [&](const std::string& e) { return e.starts_with(prefix); });
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
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // The next line of standard output, without its newline; false when none
  // came within `timeout` or the output ended.
  bool ReadLine(std::string* line, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t newline = out_.find('\n', taken_);
      if (newline != std::string::npos) {
        *line = out_.substr(taken_, newline - taken_);
        taken_ = newline + 1;
        return true;
      }
      if (!PumpUntil(deadline)) return false;
    }
  }

  // True once standard output holds `text`; false when the output ended or
  // it did not come in time.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.find(text) == std::string::npos) {
      if (!PumpUntil(deadline)) return false;
    }
    return true;
  }

  // Reads both outputs to their end and returns the exit code (128 + the
  // signal when a signal ended the program).
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
  bool PumpUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 && Pump(static_cast<int>(left));
  }
  // Reads what is there within `timeout_ms`; false when both ends are closed
  // or nothing came in time.
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
  size_t taken_ = 0;  // of out_, by ReadLine
};

}  // namespace testing_support
