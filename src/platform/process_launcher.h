// Starting helper programs (the settings import tool) from inside a host
// process that the service does not own.
//
// A program is started with posix_spawn, detached: in a session of its own,
// with standard input, output and error on /dev/null, and with no descriptor
// of the caller other than those three (every descriptor from 3 up is closed
// in the child, whether or not it was opened close-on-exec).
//
// Reaping. Every started child is watched by one process-wide reaper thread
// through a pidfd and reaped (waitid on that one child) as soon as it ends,
// whether or not anybody still holds its ChildProcess, so that a child left
// running never turns into a zombie. The reaper never waits for "any child"
// and installs no SIGCHLD handler, so other code in the host process keeps
// the statuses of its own children. If other code reaps one of ours first
// (waitpid(-1), or SIGCHLD ignored), the child still counts as ended, with an
// unknown exit code. Children still running when the process exits (or the
// plug-in is unloaded) are left running; the init process reaps them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
struct ChildRecord;
}  // namespace platform

// A started child. Thread-safe: any thread may wait for it, several at once.
// Destroying it neither waits for nor stops the child.
class ChildProcess {
 public:
  enum class WaitResult { kExited, kTimedOut };

  explicit ChildProcess(std::shared_ptr<platform::ChildRecord> record);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const;

  // Waits until the child has ended and been reaped, or `timeout` passes; a
  // negative timeout waits for ever.
  WaitResult Wait(std::chrono::milliseconds timeout) const;
  bool HasExited() const;

  // The exit status once ended: the exit code (0-255) of a normal exit,
  // 128 + the signal number of a child killed by a signal, -1 while running or
  // when other code took the status.
  int ExitCode() const;

 private:
  std::shared_ptr<platform::ChildRecord> record_;
};

// Where and with what the child runs.
struct ProcessOptions {
  // The child's working folder; the caller's when absent.
  std::optional<std::string> directory;
  // The child's environment as "NAME=value" entries; the caller's when absent.
  std::optional<std::vector<std::string>> environment;
};

// Starts `program` with the command-line `arguments` (split by
// SplitCommandLine of platform/path_util.h, so QuoteIfNeeded texts joined with
// blanks arrive as one argument each), or with no arguments when absent. The
// child's first argument is the program path. A relative program path is taken
// relative to the caller's working folder, never searched for on PATH.
// Returns null on failure with the errno-style cause in `*error` (and errno):
// ENOENT or EACCES for the program or folder, EINVAL for an unclosed quote,
// ENOSYS when the kernel cannot watch children (pidfd), and the like.
std::unique_ptr<ChildProcess> StartProcess(const std::string& program, std::optional<std::string_view> arguments,
                                           const ProcessOptions& options = {}, int* error = nullptr);

// The same with the arguments given one by one: nothing is split or unquoted,
// so any text (blanks and quotes included) arrives as it stands.
std::unique_ptr<ChildProcess> StartProcessArgv(const std::string& program, const std::vector<std::string>& arguments,
                                               const ProcessOptions& options = {}, int* error = nullptr);
