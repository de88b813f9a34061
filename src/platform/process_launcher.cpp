#include "platform/process_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "platform/manual_reset_event.h"
#include "platform/path_util.h"
#include "platform/mutex.h"

extern char** environ;

namespace platform {

// What the reaper and the ChildProcess handles share about one child.
struct ChildRecord {
  pid_t pid = 0;
  ManualResetEvent ended;
  // Written once by the reaper before `ended` is set.
  std::atomic<int> exit_code{-1};
};

}  // namespace platform

namespace {

using platform::ChildRecord;

// Through the system call: the C library's declaration is not usable from C++
// on every distribution.
int OpenPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)); }

// Children that cannot be watched through a pidfd (the descriptor could not be
// opened) are checked this often instead.
constexpr int kPollIntervalMs = 500;

void MarkEnded(ChildRecord& record, int exit_code) {
  record.exit_code.store(exit_code, std::memory_order_release);
  record.ended.Set();
}

// The one thread that reaps the children started here. It waits on their
// pidfds and reaps each with waitid on that very child, never on "any child".
// All members but the thread are used under `mu_` or are thread-safe.
class ChildReaper {
 public:
  static ChildReaper& Instance() {
    static ChildReaper reaper;
    return reaper;
  }

  // Whether this kernel lets children be watched through pidfds (Linux 5.3+).
  bool Supported() const { return supported_; }

  // Takes over `pidfd` (-1: watch by pid with periodic checks).
  void Watch(int pidfd, std::shared_ptr<ChildRecord> record) {
    {
      platform::MutexLock lock(mu_);
      children_.push_back({pidfd, std::move(record)});
    }
    wake_.Set();
  }

 private:
  struct Watched {
    int pidfd;
    std::shared_ptr<ChildRecord> record;
  };

  ChildReaper() {
    const int probe = OpenPidfd(::getpid());
    supported_ = probe >= 0;
    if (probe >= 0) ::close(probe);
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }

  ~ChildReaper() {
    thread_.request_stop();
    wake_.Set();
    thread_.join();
    platform::MutexLock lock(mu_);
    for (const Watched& w : children_) {
      if (w.pidfd >= 0) ::close(w.pidfd);
    }
  }

  void Run(std::stop_token stop) {
    std::vector<Watched> snapshot;
    std::vector<pollfd> fds;
    while (!stop.stop_requested()) {
      // Reset before taking the snapshot: a child added after it sets the
      // event again and the poll returns at once.
      wake_.Reset();
      {
        platform::MutexLock lock(mu_);
        snapshot = children_;
      }
      fds.assign(1, pollfd{wake_.fd(), POLLIN, 0});
      bool any_unwatched = false;
      for (const Watched& w : snapshot) {
        if (w.pidfd >= 0) {
          fds.push_back(pollfd{w.pidfd, POLLIN, 0});
        } else {
          any_unwatched = true;
        }
      }
      const int ready = ::poll(fds.data(), fds.size(), any_unwatched ? kPollIntervalMs : -1);
      if (ready < 0 && errno != EINTR) {
        // Nothing sensible is left to do but not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
        continue;
      }
      size_t fd_index = 1;
      for (const Watched& w : snapshot) {
        if (w.pidfd >= 0 && (fds[fd_index++].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        if (TryReap(w)) Forget(w);
      }
    }
  }

  // Reaps the child if it has ended; true when it is done with.
  static bool TryReap(const Watched& w) {
    siginfo_t info{};
    const int rc = w.pidfd >= 0 ? ::waitid(P_PIDFD, static_cast<id_t>(w.pidfd), &info, WEXITED | WNOHANG)
                                : ::waitid(P_PID, static_cast<id_t>(w.record->pid), &info, WEXITED | WNOHANG);
    if (rc < 0) {
      if (errno == EINTR) return false;
      // ECHILD: other code in the process took the status first.
      MarkEnded(*w.record, -1);
      return true;
    }
    if (info.si_pid == 0) return false;  // still running
    const int code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    MarkEnded(*w.record, code);
    return true;
  }

  void Forget(const Watched& w) {
    platform::MutexLock lock(mu_);
    for (auto it = children_.begin(); it != children_.end(); ++it) {
      if (it->record == w.record) {
        if (it->pidfd >= 0) ::close(it->pidfd);
        children_.erase(it);
        return;
      }
    }
  }

  bool supported_ = false;
  platform::Mutex mu_;
  // The children not yet reaped.
  std::vector<Watched> children_ GUARDED_BY(mu_);
  // Set when a child is added or the reaper is to stop.
  platform::ManualResetEvent wake_;
  std::jthread thread_;
};

// posix_spawn's file actions and attributes, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Returns 0 or an errno value.
  int Prepare(const ProcessOptions& options) {
    int rc = 0;
    if (options.directory) rc = ::posix_spawn_file_actions_addchdir_np(&actions_, options.directory->c_str());
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Descriptors the host opened without close-on-exec must not leak either.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    if (rc != 0) return rc;

    // A session of its own; no signal blocked or ignored because the calling
    // thread of the host happened to block or ignore it.
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    rc = ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr_, &empty);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &defaults);
    return rc;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

std::unique_ptr<ChildProcess> Fail(int err, int* error) {
  if (error) *error = err;
  errno = err;
  return nullptr;
}

std::vector<char*> PointerList(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

ChildProcess::ChildProcess(std::shared_ptr<platform::ChildRecord> record) : record_(std::move(record)) {}
ChildProcess::~ChildProcess() = default;

pid_t ChildProcess::pid() const { return record_->pid; }

ChildProcess::WaitResult ChildProcess::Wait(std::chrono::milliseconds timeout) const {
  return record_->ended.Wait(timeout) ? WaitResult::kExited : WaitResult::kTimedOut;
}

bool ChildProcess::HasExited() const { return record_->ended.IsSet(); }

int ChildProcess::ExitCode() const {
  if (!HasExited()) return -1;
  return record_->exit_code.load(std::memory_order_acquire);
}

std::unique_ptr<ChildProcess> StartProcessArgv(const std::string& program, const std::vector<std::string>& arguments,
                                               const ProcessOptions& options, int* error) {
  if (program.empty() || program.find('\0') != std::string::npos) return Fail(EINVAL, error);
  ChildReaper& reaper = ChildReaper::Instance();
  // Without pidfds a started child could not be watched; refuse rather than
  // leave a zombie behind.
  if (!reaper.Supported()) return Fail(ENOSYS, error);

  // A relative program is found from the caller's folder even when the child
  // changes to another one first.
  std::error_code ec;
  const std::string path = program.front() == kPathSeparator ? program : std::filesystem::absolute(program, ec).string();
  if (ec) return Fail(ec.value(), error);

  SpawnSetup setup;
  if (const int rc = setup.Prepare(options); rc != 0) return Fail(rc, error);

  std::vector<std::string> argv_texts;
  argv_texts.reserve(arguments.size() + 1);
  argv_texts.push_back(program);
  argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = PointerList(argv_texts);
  std::vector<std::string> env_texts;
  std::vector<char*> envp;
  if (options.environment) {
    env_texts = *options.environment;
    envp = PointerList(env_texts);
  }

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attr(), argv.data(),
                               options.environment ? envp.data() : environ);
  if (rc != 0) return Fail(rc, error);

  auto record = std::make_shared<platform::ChildRecord>();
  record->pid = pid;
  const int pidfd = OpenPidfd(pid);
  if (pidfd < 0 && errno == ESRCH) {
    MarkEnded(*record, -1);  // already ended and reaped by other code
  } else {
    // Out of descriptors: watched by periodic checks of its pid instead.
    reaper.Watch(pidfd, record);
  }
  if (error) *error = 0;
  return std::make_unique<ChildProcess>(std::move(record));
}

std::unique_ptr<ChildProcess> StartProcess(const std::string& program, std::optional<std::string_view> arguments,
                                           const ProcessOptions& options, int* error) {
  std::vector<std::string> args;
  if (arguments && !SplitCommandLine(*arguments, args)) return Fail(EINVAL, error);
  return StartProcessArgv(program, args, options, error);
}
