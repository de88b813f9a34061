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
// Each closes the log at exit, after a static destructor's line and before a
// later one's.
TEST(LogProcesses, TwoProcessesAppendWholeLinesAndCloseTheLogAtExit) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 1024 * 1024);
  auto a = Writer({"--tag", "a", "--lines", "3000", "--long-every", "50"});
  auto b = Writer({"--tag", "b", "--lines", "3000", "--long-every", "70"});
  EXPECT_EQ(a->Wait(), 0) << a->err();
  EXPECT_EQ(b->Wait(), 0) << b->err();
  const std::regex prefix(std::string("^") + logging_test::kLinePrefix + " I: ");
  const std::regex line_shape(R"(main: (\w) (\d+) (p*|L+))");
  std::map<std::string, std::vector<int>> found;
  std::map<std::string, int> others;  // banners, the static destructors' lines and torn lines
  for (const std::string& line : ReadLines(env.LogFile("id"))) {
    const std::string body = std::regex_replace(line, prefix, "", std::regex_constants::format_first_only);
    std::smatch m;
    if (!std::regex_match(body, m, line_shape)) {
      ++others[body.substr(0, 200)];
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
  using testing::Pair;
  EXPECT_THAT(others, testing::ElementsAre(Pair("", 2), Pair("***  LOG AUTO-CLOSED ***", 2),
                                           Pair(testing::StartsWith("***  LOGGING STARTED  *** (UTC"), 2),
                                           Pair("::LogsWhenDestroyedEarly::~LogsWhenDestroyedEarly: from a static "
                                                "destructor before the log closed", 2)));
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
