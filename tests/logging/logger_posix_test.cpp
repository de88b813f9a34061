#include "logging/logger_posix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "logging/log.h"
#include "logging/log_test_support.h"
#include "support/fake_clock.h"
#include "support/scoped_env.h"

namespace HvQorLogging {
namespace {

namespace fs = std::filesystem;
using logging_test::LogTestEnvironment;
using logging_test::ReadLines;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::ScopedTimeZone;

// The "[pid.tid] " part of this thread's lines.
std::string Ids() { return fmt::format("[{:04x}.{:04x}]", ::getpid(), ::gettid()); }

// The fake clock lets the refresh interval pass without waiting.
class LoggerTest : public testing::Test {
 protected:
  LoggerTest() : tz_("UTC0") {}
  std::string File(int index = 0) const { return env_.LogFile("id", index); }
  // What follows the "[pid.tid] " of each line of a file: "tag: source: message".
  std::vector<std::string> Bodies(int index = 0) const {
    std::vector<std::string> bodies;
    for (const std::string& line : ReadLines(File(index))) {
      const size_t end = line.find("] ");
      bodies.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return bodies;
  }

  ScopedTimeZone tz_;
  LogTestEnvironment env_;
  testing_support::ScopedFakeClock clock_;
};

TEST_F(LoggerTest, ExactLineAndBanners) {
  ScopedTimeZone tz("<-0330>3:30");  // lines carry local time, the start banner its offset
  {
    LoggerPosix logger;
    EXPECT_FALSE(logger.IsEnabled(1));
    logger.Write(1, "before open");
    logger.Close();
    logger.Open("id", "QOR", "VelderPlugin", 4, 0);
    logger.WriteV(2, "bool Storage::Save(int) const", "saved {} values", fmt::make_format_args(3));
    clock_->Advance(1234);
    logger.Close();
    logger.Write(2, "after close");
    logger.Open("id", "QOR", "VelderPlugin", 4, 0);
    logger.Write(4, "reopened");
  }
  // 1'700'000'000'000 ms is 2023-11-14 22:13:20 UTC; an empty line sets each run apart.
  const std::string stamp = "2023-11-14 18:43:20.000 " + Ids(), later = "2023-11-14 18:43:21.234 " + Ids();
  EXPECT_THAT(ReadLines(File()),
              ElementsAre("",
                          fmt::format("{}  I: ***  LOGGING STARTED  *** (UTC-3:30, session: 0x{:x})", stamp,
                                      static_cast<uint32_t>(::getsid(0))),
                          stamp + " *E: Storage::Save: saved 3 values",
                          later + "  I: ***  LOGGING ENDED  ***", "",
                          testing::StartsWith(later + "  I: ***  LOGGING STARTED  ***"), later + "  I: reopened",
                          later + "  I: ***  LOG AUTO-CLOSED ***"));
}

// Standard error is a full pipe: the thread writing there waits, the others
// go on logging to the file.
TEST_F(LoggerTest, AFullStandardErrorBlocksOnlyTheThreadWritingThere) {
  env_.SetLogging("DebugOutputLogging", 1);
  ::signal(SIGPIPE, SIG_IGN);
  LoggerPosix logger;
  logger.Open("id", "QOR", "VelderPlugin", 4, 0);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  const std::string fill(4096, 'x');
  while (::write(fds[1], fill.data(), fill.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fds[1], STDERR_FILENO);
  auto logged = [&](const std::string& text) {
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      if (std::ranges::any_of(Bodies(), [&](const std::string& body) { return body.ends_with(text); })) return true;
    }
    return false;
  };
  std::thread stuck([&] { logger.Write(3, "stuck on standard error"); });
  const bool first = logged("stuck on standard error");
  // The second thread's line reaches the file, then it waits on the pipe too.
  std::thread second([&] { logger.Write(3, "still logging"); });
  const bool next = first && logged("still logging");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fds[0]);  // the reader goes: the waiting writes end
  stuck.join();
  second.join();
  ::close(fds[1]);
  EXPECT_TRUE(next);  // false too when the first line never arrived
}

TEST_F(LoggerTest, ThresholdAndLevels) {
  env_.SetLogging("LogLevel", 4);
  LoggerPosix logger;
  logger.Open("id", "QOR", "VelderPlugin", 6, 0);  // the configuration wins over the given level
  for (int level : {6, 5, 4, 3, 2, 1, 0, -7}) logger.Write(level, "level {}", level);
  EXPECT_THAT(Bodies(), ElementsAre("", HasSubstr("STARTED"), " I: level 4", ".W: level 3", "*E: level 2",
                                    "*F: level 1", "  : level 0", "  : level -7"));
}

TEST_F(LoggerTest, ChangedConfigurationTakesEffectAfterAMinute) {
  LoggerPosix logger;
  logger.Open("id", "QOR", "VelderPlugin", 4, 0);
  env_.SetLogging("LogLevel", 6);
  env_.SetLogging("LogMaxSizeKB", 0);
  logger.Write(6, "b");
  clock_->Advance(LoggerPosix::kRefreshIntervalMs);
  logger.Write(6, "c");  // exactly a minute: not yet
  clock_->Advance(1);
  logger.Write(6, "d");  // and the size limit is now 3 bytes: every line gets a file
  logger.Write(6, "e");
  EXPECT_THAT(Bodies(), ElementsAre(" V: e"));
  EXPECT_THAT(Bodies(1), ElementsAre(" V: d"));
  EXPECT_THAT(Bodies(2), ElementsAre("", HasSubstr("STARTED")));
}

// Formats are checked when the product is compiled; what a message grows
// to is known only when it is written.
TEST_F(LoggerTest, OversizedMessagesAreReportedNotThrown) {
  env_.SetLogging("LogMaxSizeKB", 1024);
  LoggerPosix logger;
  logger.Open("id", "QOR", "VelderPlugin", 4, kOptionDebugBanners);
  for (size_t size : {2047u, 2048u, 65535u}) logger.Write(4, "{}", std::string(size, 'm'));
  logger.Write(4, "{}{}", std::string(65535, 'm'), "m");
  EXPECT_THAT(Bodies(), ElementsAre(" I: " + std::string(2047, 'm'), " I: " + std::string(2048, 'm'),
                                    " I: " + std::string(65535, 'm'),
                                    "*E: HV_QOR_LOG failure: too large message. Format: {}{}"));
}

TEST_F(LoggerTest, ErrnoIsLeftAlone) {
  LoggerPosix logger;
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"open", [&] { logger.Open("id", "QOR", "VelderPlugin", 4, 0); }},
      {"refresh", [&] { clock_->Advance(LoggerPosix::kRefreshIntervalMs + 1); logger.IsEnabled(4); }},
      {"directory gone", [&] { fs::remove_all(env_.logs() + "/Halvern"), errno = 4242, logger.Write(4, "x"); }},
  };
  for (const auto& [what, call] : calls) {
    errno = 4242;
    call();
    EXPECT_EQ(errno, 4242) << what;
  }
}

// With a log file, debug output is what every test reading the log through LogCapture sees.
TEST_F(LoggerTest, DebugOutputGoesToStandardErrorWithoutALogFile) {
  env_.SetLogging("DebugOutputLogging", 1);
  testing::internal::CaptureStderr();
  {
    LoggerPosix logger;
    logger.Open("../bad", "QOR", "VelderPlugin", 4, kOptionDebugBanners);
    logger.Write(3, "stderr only");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "2023-11-14 22:13:20.000 " + Ids() + " .W: stderr only\n");
}

// Code that the logger calls while it holds its lock (here: the
// configuration read) may itself log; that must not deadlock.
class LoggingFileContext : public FileContext {
 public:
  LoggingFileContext(Logger& logger, std::string_view identity)
      : FileContext(std::make_unique<FileSystem::Path>(), std::string(identity), "QOR", "VelderPlugin", 4, 0),
        logger_(logger) {}
  int GetLogLevel() const override {
    logger_.Write(1, "from inside the refresh");
    return FileContext::GetLogLevel();
  }
  void EnsureFileReady() override {
    logger_.Write(1, "from inside an append");
    logger_.Open("other", "QOR", "VelderPlugin", 4, 0);
    logger_.Close();
    FileContext::EnsureFileReady();
  }

 private:
  Logger& logger_;
};

class ReentrantLogger : public LoggerPosix {
 public:
  std::unique_ptr<FileContext> CreateFileContext(std::string_view identity, std::string_view, std::string_view, int,
                                                 uint32_t) override {
    return std::make_unique<LoggingFileContext>(*this, identity);
  }
};

TEST_F(LoggerTest, LoggingFromInsideTheLoggerDoesNotDeadlock) {
  ReentrantLogger logger;
  logger.Open("id", "QOR", "VelderPlugin", 4, kOptionDebugBanners);
  logger.Write(4, "outer");
  clock_->Advance(LoggerPosix::kRefreshIntervalMs + 1);
  logger.Write(4, "after refresh");
  logger.Close();
  EXPECT_THAT(Bodies(), ElementsAre(" I: outer", " I: after refresh"));
}

// Writers on many threads while the configuration is refreshed, the file
// rotated and flushed: every line arrives whole, once.
TEST_F(LoggerTest, ConcurrentWritersRefreshAndRotation) {
  env_.SetLogging("LogMaxSizeKB", 128);  // about 250 KB are written: two rotations, nothing dropped
  LoggerPosix logger;
  logger.Open("id", "QOR", "VelderPlugin", 4, kOptionDebugBanners);
  constexpr int kThreads = 6, kLines = 400;
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      clock_->Advance(LoggerPosix::kRefreshIntervalMs + 1);
      logger.Flush();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&logger, t] {
      for (int i = 0; i < kLines; ++i) {
        logger.WriteV(4, "Worker::Run()", "t{} i{} {}", fmt::make_format_args(t, i, std::string(i % 97, 'p')));
      }
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  churn.join();
  std::map<int, int> next;
  const std::regex shape(std::string(logging_test::kLinePrefix) + R"( I: Worker::Run: t(\d) i(\d+) (p*))");
  ASSERT_TRUE(std::filesystem::exists(File(1))) << "nothing rotated";
  std::vector<std::string> lines;
  for (int index : {2, 1, 0}) {
    for (std::string& line : ReadLines(File(index))) lines.push_back(std::move(line));
  }
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[1]), i = std::stoi(m[2]);
    EXPECT_EQ(i, next[t]++) << "thread " << t << " out of order";
    EXPECT_EQ(m[3].length(), i % 97);
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
}

}  // namespace
}  // namespace HvQorLogging
