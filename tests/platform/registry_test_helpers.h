// Small helpers of the registry tests: running a piece of the test in a
// child process, optionally as an unprivileged user, and checking a database
// file for damage.
#pragma once

#include <grp.h>
#include <sqlite3.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

namespace registry_testing {

// The uid of "nobody" on Debian-like systems.
inline constexpr uid_t kNobody = 65534;

// Runs `body` in a forked child (as `uid` with the same gid when given) and
// returns its exit code; 200 when the identity could not be taken, 300 plus
// the signal number when the child was killed. The child never returns into
// the test framework.
inline int RunInChild(const std::function<int()>& body, std::optional<uid_t> uid = std::nullopt) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(200);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 300 + WTERMSIG(status);
}

// SQLite's own verdict on the file: "ok" when it is undamaged.
inline std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) = values[0] ? values[0] : "";
          return 0;
        },
        &verdict, nullptr);
  }
  sqlite3_close(db);
  return verdict;
}

}  // namespace registry_testing
