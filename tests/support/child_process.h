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

#include <algorithm>
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
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    for (const std::string& extra : extra_environment) {
      const std::string prefix = extra.substr(0, extra.find('=')) + "=";
      std::erase_if(environment, [&](const std::string& e) { return e.starts_with(prefix); });
      if (extra.find('=') != std::string::npos) environment.push_back(extra);
    }
    std::vector<char*> argv, envp;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC) | ::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
      ADD_FAILURE() << "cannot start " << arguments[0];
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    fds_[0] = out[0];
    fds_[1] = err[0];
  }
  ~ChildProcess() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    Wait();
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
    size_t newline;
    if (!PumpUntil([&] { return (newline = text_[0].find('\n', taken_)) != std::string::npos; }, timeout)) return false;
    *line = text_[0].substr(taken_, newline - taken_);
    taken_ = newline + 1;
    return true;
  }

  // True once standard output holds `text`; false when the output ended or
  // it did not come in time.
  bool WaitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
    return PumpUntil([&] { return text_[0].find(text) != std::string::npos; }, timeout);
  }

  // Reads both outputs to their end and returns the exit code (128 + the
  // signal when a signal ended the program).
  int Wait() {
    while (Pump(-1)) {
    }
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& out() const { return text_[0]; }
  const std::string& err() const { return text_[1]; }

 private:
  // Reads until `done` holds; false when the output ended or `timeout` passed first.
  template <typename Done>
  bool PumpUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!Pump(static_cast<int>(std::max<int64_t>(0, left.count())))) return false;
    }
    return true;
  }
  // Reads what comes within `timeout_ms` (-1: no limit); false when both
  // outputs are closed or nothing came in time.
  bool Pump(int timeout_ms) {
    if ((fds_[0] < 0 && fds_[1] < 0) || timeout_ms == 0) return false;
    pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (::poll(polled, 2, timeout_ms) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0 || polled[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t r = ::read(fds_[i], buffer, sizeof buffer);
      if (r > 0) {
        text_[i].append(buffer, static_cast<size_t>(r));
      } else {
        ::close(fds_[i]);
        fds_[i] = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};  // standard output, standard error
  std::string text_[2];
  size_t taken_ = 0;  // of the output, by ReadLine
};

}  // namespace testing_support
