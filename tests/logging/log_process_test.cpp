// Real processes on one log file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "logging/log_test_support.h"
#include "support/child_process.h"

namespace HvQorLogging {
namespace {

namespace fs = std::filesystem;
using logging_test::LogTestEnvironment;
using logging_test::ReadLines;

// The log writer program with `args`.
std::unique_ptr<testing_support::ChildProcess> Writer(std::vector<std::string> args,
                                                      const std::vector<std::string>& environment = {}) {
  args.insert(args.begin(), testing_support::BuildProgram("logging_log_writer"));
  return std::make_unique<testing_support::ChildProcess>(args, environment);
}

// Two writers of 3000 lines each, every `long_every`-th line longer than a
// pipe's atomic write; returns the indices found per writer tag in the log
// files (oldest first), having checked that every line is whole.
std::map<std::string, std::vector<int>> RunTwoWriters(LogTestEnvironment& env, uint32_t limit_kb, int long_a,
                                                      int long_b) {
  env.SetLogging("LogMaxSizeKB", limit_kb);
  auto a = Writer({"--tag", "a", "--lines", "3000", "--long-every", std::to_string(long_a)});
  auto b = Writer({"--tag", "b", "--lines", "3000", "--long-every", std::to_string(long_b)});
  EXPECT_EQ(a->Wait(), 0) << a->err();
  EXPECT_EQ(b->Wait(), 0) << b->err();
  const std::string prefix = std::string(logging_test::kLinePrefix) + " I: ";
  const std::regex line_shape(prefix + R"(main: (\w) (\d+) (p*|L+))");
  const std::regex banner(prefix + R"((\*\*\*  LOGGING STARTED  \*\*\* \(.*\)|\*\*\*  LOG AUTO-CLOSED \*\*\*|)"
                                   R"(::LogsWhenDestroyedEarly::~LogsWhenDestroyedEarly: from a static destructor )"
                                   R"(before the log closed))");
  std::map<std::string, std::vector<int>> found;
  for (int index : {2, 1, 0}) {
    for (const std::string& line : ReadLines(env.LogFile("id", index))) {
      if (line.empty() || std::regex_match(line, banner)) continue;
      std::smatch m;
      if (!std::regex_match(line, m, line_shape)) {
        ADD_FAILURE() << "torn or mixed line: " << line.substr(0, 200);
        continue;
      }
      const int i = std::stoi(m[2]);
      const std::string padding = m[3];
      EXPECT_EQ(padding.size(), padding[0] == 'L' ? 5000u + i % 13 : static_cast<size_t>(i % 61)) << line.substr(0, 80);
      found[m[1]].push_back(i);
    }
  }
  return found;
}

TEST(LogProcesses, TwoProcessesAppendWholeLines) {
  LogTestEnvironment env;
  const auto found = RunTwoWriters(env, 1024 * 1024, 50, 70);
  EXPECT_FALSE(fs::exists(env.LogFile("id", 1)));
  for (const char* tag : {"a", "b"}) {
    SCOPED_TRACE(tag);
    std::vector<int> all(3000);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(found.count(tag) ? found.at(tag) : std::vector<int>(), all);
  }
}

// Both processes rotate the file under each other: lines are whole, none
// twice, and what is gone is only each writer's oldest part. (A writer that
// finished early may have had all its lines rotated away.)
TEST(LogProcesses, TwoProcessesRotatingTogether) {
  LogTestEnvironment env;
  const auto found = RunTwoWriters(env, 16, 40, 45);
  EXPECT_FALSE(found.empty());
  for (const auto& [tag, indices] : found) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(indices.back(), 2999);
    for (size_t k = 1; k < indices.size(); ++k) ASSERT_EQ(indices[k], indices[k - 1] + 1);
  }
  for (int index : {0, 1}) EXPECT_LT(fs::file_size(env.LogFile("id", index)), 16u * 1024 + 6000) << index;
  EXPECT_FALSE(fs::exists(env.LogFile("id", 3)));
}

TEST(LogProcesses, ExitClosesTheLogAndLateStaticDestructorsAreSafe) {
  LogTestEnvironment env;
  EXPECT_EQ(Writer({"--lines", "1"})->Wait(), 0);
  EXPECT_THAT(ReadLines(env.LogFile("id")),
              testing::ElementsAre("", testing::HasSubstr("LOGGING STARTED"), testing::HasSubstr(" I: main: w 0 "),
                                   testing::HasSubstr(" I: ::LogsWhenDestroyedEarly::~LogsWhenDestroyedEarly: from a "
                                                      "static destructor before the log closed"),
                                   testing::HasSubstr(" I: ***  LOG AUTO-CLOSED ***")));
}

// Children forked while another thread logs must neither deadlock on the
// logger's lock nor share their parent's cross-process lock.
TEST(LogProcesses, ForkWhileLogging) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 1024 * 1024);
  // A forked child that exits normally would report the parent's other
  // thread's allocations as leaks in sanitizer builds.
  const char* asan = std::getenv("ASAN_OPTIONS");
  EXPECT_EQ(Writer({"--fork-children", "100"}, {"ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0"})
                ->Wait(),
            0);
  std::set<std::string> children;
  const std::string marker = " I: ::ForkChildren: child ";
  for (const std::string& line : ReadLines(env.LogFile("id"))) {
    const size_t at = line.find(marker);
    if (at != std::string::npos) children.insert(line.substr(at + marker.size()));
  }
  EXPECT_EQ(children.size(), 100u);
}

}  // namespace
}  // namespace HvQorLogging
