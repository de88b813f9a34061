// Runs a program of the build (velderctl) as a child process, with its
// standard output and error captured, for tests that drive the real program.
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
#include <string>
#include <vector>

extern char** environ;

namespace client_test {

// $VELDER_BUILD_DIR/bin/<name>.
inline std::string BuildProgram(const std::string& name) {
  const char* dir = std::getenv("VELDER_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/bin/" + name;
}

class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    EXPECT_EQ(rc, 0) << "cannot start " << args[0];
    if (rc != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The next line of standard output, without its newline; false when none
  // came within `timeout` or the output ended.
  bool ReadLine(std::string* line, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t nl = out_.find('\n', taken_);
      if (nl != std::string::npos) {
        *line = out_.substr(taken_, nl - taken_);
        taken_ = nl + 1;
        return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !Pump(static_cast<int>(left))) return false;
    }
  }

  void Signal(int sig) { ::kill(pid_, sig); }

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
    char buf[4096];
    const ssize_t r = ::read(*fd, buf, sizeof buf);
    if (r > 0) {
      into->append(buf, static_cast<size_t>(r));
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

struct Ran {
  int rc;
  std::string out;
  std::string err;
};

// Runs velderctl with `args` to its end.
inline Ran RunVelderctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BuildProgram("velderctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  Program p(argv);
  const int rc = p.Wait();
  return {rc, p.out(), p.err()};
}

}  // namespace client_test
