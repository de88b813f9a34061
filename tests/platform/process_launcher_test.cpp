#include "platform/process_launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TempDir;

// Generous upper bound for a short child to run: only failures wait this long.
constexpr auto kPatience = 30s;

// The fields of /proc/<pid>/stat after the name: state letter ('Z' for a
// zombie), parent, group and session; empty when there is no such process.
std::vector<std::string> StatFields(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return {};
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::vector<std::string> fields(4);
  for (auto& field : fields) rest >> field;
  return fields;
}
std::string SessionOf(pid_t pid) { return StatFields(pid).at(3); }

// A shell script that writes its arguments, one per line in brackets, to $OUT.
std::string WriteArgsScript(const TempDir& dir) {
  const std::string script = dir.File("args.sh");
  testing_support::WriteFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$OUT\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return script;
}

// Waits for a started child and returns its exit code; -2 when it did not
// start, -3 when it did not end in time.
int ExitCodeOf(const std::unique_ptr<ChildProcess>& child) {
  if (!child) return -2;
  return child->Wait(kPatience) == ChildProcess::WaitResult::kExited ? child->ExitCode() : -3;
}

TEST(ProcessLauncher, RunningChildIsDetachedAndRunsOnPastAWait) {
  // Neither a descriptor the host opened without close-on-exec nor a signal
  // the calling thread blocks may reach the child.
  TempDir dir;
  const int leaky = ::open(dir.File("leaky").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(leaky, 0);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  auto child = StartProcess("/bin/sleep", "30");
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(leaky);
  ASSERT_NE(child, nullptr);
  const pid_t pid = child->pid();

  EXPECT_EQ(child->Wait(0ms), ChildProcess::WaitResult::kTimedOut);
  std::set<std::string> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    fds.insert(entry.path().filename().string());
    EXPECT_EQ(std::filesystem::read_symlink(entry.path()), "/dev/null") << entry.path();
  }
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  EXPECT_EQ(SessionOf(pid), std::to_string(pid));  // the leader of a session of its own
  EXPECT_NE(SessionOf(pid), SessionOf(::getpid()));

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  EXPECT_EQ(child->Wait(-1ms), ChildProcess::WaitResult::kExited);
}

TEST(ProcessLauncher, ArgumentsArriveAsQuoted) {
  TempDir dir;
  const std::string script = WriteArgsScript(dir);
  const std::string out = dir.File("out");
  ProcessOptions options;
  options.environment = std::vector<std::string>{"OUT=" + out};
  // How texts are quoted and split is the command line's own test; here they
  // reach the program unchanged by a shell.
  EXPECT_EQ(ExitCodeOf(StartProcess(script, "\"\" a\\b \"x\"y\" $HOME '*'", options)), 0);
  EXPECT_EQ(ReadFile(out), "[]\n[a\\b]\n[x\"y]\n[$HOME]\n['*']\n");
}

// The tool's path comes from the host's configuration; its arguments are
// always well quoted and it runs in the service's own folder.
TEST(ProcessLauncher, FailuresAreReportedWithTheirCause) {
  TempDir dir;
  testing_support::WriteFile(dir.File("not-executable"), "#!/bin/sh\n");
  std::filesystem::permissions(dir.File("not-executable"), std::filesystem::perms::owner_read);
  for (const auto& [program, cause] : std::vector<std::pair<std::string, int>>{
           {dir.File("missing"), ENOENT}, {dir.File("not-executable"), EACCES}, {"", EINVAL}}) {
    SCOPED_TRACE(program);
    int error = 0;
    EXPECT_EQ(StartProcess(program, "--import x", {}, &error), nullptr);
    EXPECT_EQ(error, cause);
  }
}

// Other code of the host starts and waits for children of its own, or waits
// for any child and so may reap one of ours first.
TEST(ProcessLauncher, SharesChildStatusWithOtherCodeOfTheProcess) {
  pid_t other = 0;
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>("exit 3"), nullptr};
  ASSERT_EQ(::posix_spawn(&other, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ExitCodeOf(StartProcess("/bin/true", std::nullopt)), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;

  auto child = StartProcess("/bin/sh", "-c \"sleep 0.2\"");
  ASSERT_NE(child, nullptr);
  const bool other_code_won = ::waitpid(child->pid(), &status, 0) == child->pid();
  EXPECT_EQ(ExitCodeOf(child), other_code_won ? -1 : 0);  // the status is known when the launcher was first
}

TEST(ProcessLauncher, ManyThreadsStartAndWaitAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 10;
  std::vector<std::jthread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int code = (t * kPerThread + i) % 200;
        auto child = StartProcess("/bin/sh", "-c \"exit " + std::to_string(code) + "\"");
        if (!child) {
          ++failures;
          continue;
        }
        // Each child is waited for by two threads at once.
        std::jthread second([&] { child->Wait(kPatience); });
        if (child->Wait(kPatience) != ChildProcess::WaitResult::kExited || child->ExitCode() != code) ++failures;
      }
    });
  }
  threads.clear();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
