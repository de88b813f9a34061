// A piece of a test run in a forked child process, for what must not touch
// the test process itself: another user's identity, a resource limit, a kill.
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>

namespace testing_support {

// The uid (and gid) of "nobody" on Debian-like systems.
inline constexpr uid_t kNobody = 65534;

// Starts `body` in a forked child, as `uid` with the same gid when given; its
// result is the child's exit code, 200 when the identity could not be taken.
// The child never returns into the test framework.
inline pid_t SpawnChild(const std::function<int()>& body, std::optional<uid_t> uid = std::nullopt) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(200);
    ::_exit(body());
  }
  return pid;
}

// Waits for the child and returns its exit code, 300 plus the signal number
// when a signal ended it, -1 when there is no such child.
inline int ReapChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 300 + WTERMSIG(status);
}

inline int RunInChild(const std::function<int()>& body, std::optional<uid_t> uid = std::nullopt) {
  return ReapChild(SpawnChild(body, uid));
}

}  // namespace testing_support
