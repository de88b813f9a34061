// Real processes on one log file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

using logging_test::LogTestEnvironment;
using logging_test::ReadLines;

// The log writer program with `args`.
std::unique_ptr<testing_support::ChildProcess> Writer(std::vector<std::string> args,
                                                      const std::vector<std::string>& environment = {}) {
  args.insert(args.begin(), testing_support::BuildProgram("logging_log_writer"));
  return std::make_unique<testing_support::ChildProcess>(args, environment);
}

// Two writers of 3000 lines each, every 50th or 70th line longer than a
// pipe's atomic write: every line of both arrives whole, once and in order.
TEST(LogProcesses, TwoProcessesAppendWholeLines) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 1024 * 1024);
  auto a = Writer({"--tag", "a", "--lines", "3000", "--long-every", "50"});
  auto b = Writer({"--tag", "b", "--lines", "3000", "--long-every", "70"});
  EXPECT_EQ(a->Wait(), 0) << a->err();
  EXPECT_EQ(b->Wait(), 0) << b->err();
  const std::string prefix = std::string(logging_test::kLinePrefix) + " I: ";
  const std::regex line_shape(prefix + R"(main: (\w) (\d+) (p*|L+))");
  const std::regex banner(prefix + R"((\*\*\*  LOGGING STARTED  \*\*\* \(.*\)|\*\*\*  LOG AUTO-CLOSED \*\*\*|)"
                                   R"(::LogsWhenDestroyedEarly::~LogsWhenDestroyedEarly: from a static destructor )"
                                   R"(before the log closed))");
  std::map<std::string, std::vector<int>> found;
  for (const std::string& line : ReadLines(env.LogFile("id"))) {
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
  std::vector<int> all(3000);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(found["a"], all);
  EXPECT_EQ(found["b"], all);
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
