// Logs through the process-wide logger, for the tests with several processes:
//   logging_log_writer --tag T --lines N [--long-every K] [--fork-children N]
//
// Writes N lines "T <i> <padding>"; every K-th line is longer than a pipe's
// atomic write size. With --fork-children it forks N children while another
// thread keeps logging; each child logs one line and exits normally.
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <string>
#include <thread>

#include "logging/log.h"

namespace {

// Constructed before the logger is first used, so destroyed after the log
// was auto-closed: its line must be harmless.
struct LogsWhenDestroyedLate {
  ~LogsWhenDestroyedLate() { HV_LOG_ERROR("from a static destructor after the log closed"); }
} g_late;

// Constructed after the logger: destroyed before the log closes.
struct LogsWhenDestroyedEarly {
  ~LogsWhenDestroyedEarly() { HV_LOG_INFO("from a static destructor before the log closed"); }
};

std::string Padding(int i, int long_every) {
  if (long_every > 0 && i % long_every == 0) return std::string(5000 + i % 13, 'L');
  return std::string(i % 61, 'p');
}

int ForkChildren(int children) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    for (int i = 0; !stop; ++i) HV_LOG_INFO("busy {}", i);
  });
  int failures = 0;
  for (int k = 0; k < children; ++k) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      HV_LOG_INFO("child {}", k);
      std::exit(0);  // normal exit: the child's log auto-closes too
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
  }
  stop = true;
  busy.join();
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("log writer");
  std::string tag = "w";
  int lines = 0, long_every = 0, fork_children = 0;
  app.add_option("--tag", tag);
  app.add_option("--lines", lines);
  app.add_option("--long-every", long_every);
  app.add_option("--fork-children", fork_children);
  CLI11_PARSE(app, argc, argv);

  HvQorLogging::LogInit("id", "QOR", "VelderPlugin", 4, 0);
  static LogsWhenDestroyedEarly early;
  for (int i = 0; i < lines; ++i) HV_LOG_INFO("{} {} {}", tag, i, Padding(i, long_every));
  if (fork_children > 0) return ForkChildren(fork_children);
  return 0;
}
