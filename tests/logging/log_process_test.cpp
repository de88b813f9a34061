// Real processes on one log file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_test_support.h"

extern char** environ;

namespace HvQorLogging {
namespace {

namespace fs = std::filesystem;
using logging_test::LogTestEnvironment;
using logging_test::ReadLines;

std::string WriterProgram() {
  if (const char* build = std::getenv("VELDER_BUILD_DIR")) return std::string(build) + "/bin/logging_log_writer";
  return (fs::read_symlink("/proc/self/exe").parent_path() / "logging_log_writer").string();
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  const std::string program = WriterProgram();
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // A group of its own, so that a hung writer is ended with its children.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ), 0) << program;
  ::posix_spawnattr_destroy(&attributes);
  return pid;
}

// The exit code of `pid`; kills it and fails when it has not finished within
// `limit` (a hang, not a slow run: the limit is generous).
int Wait(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "process " << pid << " hung";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const std::regex kLine(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]{4,}\.[0-9a-f]{4,}\]  I: main: (\w) (\d+) (p*|L+))");
const std::regex kBanner(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]{4,}\.[0-9a-f]{4,}\]  I: (\*\*\*  LOGGING STARTED  \*\*\* \(.*\)|\*\*\*  LOG AUTO-CLOSED \*\*\*|::LogsWhenDestroyedEarly::~LogsWhenDestroyedEarly: from a static destructor before the log closed))");

// Every line of `files` (oldest first) is whole; returns the indices found
// per writer tag, in file order.
std::map<std::string, std::vector<int>> CheckLines(const std::vector<std::string>& files) {
  std::map<std::string, std::vector<int>> found;
  for (const std::string& file : files) {
    for (const std::string& line : ReadLines(file)) {
      if (line.empty() || std::regex_match(line, kBanner)) continue;
      std::smatch m;
      if (!std::regex_match(line, m, kLine)) {
        ADD_FAILURE() << file << ": torn or mixed line: " << line.substr(0, 200);
        continue;
      }
      const int i = std::stoi(m[2]);
      const std::string padding = m[3];
      if (padding[0] == 'L') {
        EXPECT_EQ(padding.size(), 5000u + i % 13) << line.substr(0, 80);
      } else {
        EXPECT_EQ(padding.size(), static_cast<size_t>(i % 61)) << line.substr(0, 80);
      }
      found[m[1]].push_back(i);
    }
  }
  return found;
}

TEST(LogProcesses, TwoProcessesAppendWholeLines) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 1024 * 1024);
  constexpr int kLines = 3000;
  const pid_t a = Spawn({"--tag", "a", "--lines", std::to_string(kLines), "--long-every", "50"});
  const pid_t b = Spawn({"--tag", "b", "--lines", std::to_string(kLines), "--long-every", "70"});
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);
  EXPECT_FALSE(fs::exists(env.LogFile("id", 1)));
  const auto found = CheckLines({env.LogFile("id")});
  for (const char* tag : {"a", "b"}) {
    SCOPED_TRACE(tag);
    ASSERT_EQ(found.count(tag), 1u);
    const std::vector<int>& indices = found.at(tag);
    ASSERT_EQ(indices.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(indices[i], i);
  }
  // Both processes started and closed their log.
  int started = 0, closed = 0;
  for (const std::string& line : ReadLines(env.LogFile("id"))) {
    started += line.find("LOGGING STARTED") != std::string::npos;
    closed += line.find("LOG AUTO-CLOSED") != std::string::npos;
  }
  EXPECT_EQ(started, 2);
  EXPECT_EQ(closed, 2);
}

// Both processes rotate the file under each other: lines are whole, none
// twice, and what is gone is only each writer's oldest part. (A writer that
// finished early may have had all its lines rotated away.)
TEST(LogProcesses, TwoProcessesRotatingTogether) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 16);
  constexpr int kLines = 3000;
  const pid_t a = Spawn({"--tag", "a", "--lines", std::to_string(kLines), "--long-every", "40"});
  const pid_t b = Spawn({"--tag", "b", "--lines", std::to_string(kLines), "--long-every", "45"});
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);
  const auto found = CheckLines({env.LogFile("id", 2), env.LogFile("id", 1), env.LogFile("id", 0)});
  EXPECT_FALSE(found.empty());
  for (const auto& [tag, indices] : found) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(indices.back(), kLines - 1);
    for (size_t k = 1; k < indices.size(); ++k) ASSERT_EQ(indices[k], indices[k - 1] + 1);
  }
  for (int index : {0, 1}) {
    EXPECT_LT(fs::file_size(env.LogFile("id", index)), 16u * 1024 + 6000) << "file " << index;
  }
  EXPECT_FALSE(fs::exists(env.LogFile("id", 3)));
}

TEST(LogProcesses, ExitClosesTheLogAndLateStaticDestructorsAreSafe) {
  LogTestEnvironment env;
  EXPECT_EQ(Wait(Spawn({"--lines", "1"})), 0);
  const std::vector<std::string> lines = ReadLines(env.LogFile("id"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "");
  EXPECT_THAT(lines[1], testing::HasSubstr("LOGGING STARTED"));
  EXPECT_THAT(lines[2], testing::HasSubstr(" I: main: w 0 "));
  EXPECT_THAT(lines[3], testing::HasSubstr(
                            " I: ::LogsWhenDestroyedEarly::~LogsWhenDestroyedEarly: from a static destructor before the "
                            "log closed"));
  EXPECT_THAT(lines[4], testing::HasSubstr(" I: ***  LOG AUTO-CLOSED ***"));
}

// Children forked while another thread logs must neither deadlock on the
// logger's lock nor share their parent's cross-process lock.
TEST(LogProcesses, ForkWhileLogging) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 1024 * 1024);
  // A forked child that exits normally would report the parent's other
  // thread's allocations as leaks in sanitizer builds.
  const std::string old_options = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  ::setenv("ASAN_OPTIONS", (old_options + ":detect_leaks=0").c_str(), 1);
  const pid_t writer = Spawn({"--fork-children", "100"});
  ::setenv("ASAN_OPTIONS", old_options.c_str(), 1);
  EXPECT_EQ(Wait(writer), 0);
  std::set<std::string> children;
  for (const std::string& line : ReadLines(env.LogFile("id"))) {
    const std::string marker = " I: ::ForkChildren: child ";
    const size_t at = line.find(marker);
    if (at != std::string::npos) children.insert(line.substr(at + marker.size()));
  }
  EXPECT_EQ(children.size(), 100u);
}

}  // namespace
}  // namespace HvQorLogging
