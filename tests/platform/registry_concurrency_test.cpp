// Several processes and threads on one registry at once, and a writer killed
// in the middle of its work.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "platform/sqlite_registry.h"
#include "registry_test_helpers.h"
#include "support/temp_dir.h"

namespace {

using registry_testing::RunInChild;

// A gate the children wait at, so that they really start together.
class StartGate {
 public:
  StartGate() { EXPECT_EQ(::pipe(fds_), 0); }
  ~StartGate() {
    ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  // In a child: drops the inherited write end, or the gate could never open.
  void Wait() {
    ::close(fds_[1]);
    char c;
    while (::read(fds_[0], &c, 1) < 0 && errno == EINTR) {
    }
  }
  // Closing the write end wakes every waiter at once.
  void Open() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Starts `body` in a child process and returns its pid.
pid_t Spawn(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 300 + WTERMSIG(status);
}

std::string ValueName(int writer, int i) { return "w" + std::to_string(writer) + "_" + std::to_string(i); }

TEST(RegistryConcurrency, TwoProcessesWriteAtOnce) {
  testing_support::TempDir dir;
  const std::string path = dir.path().string();
  constexpr int kWrites = 40;
  StartGate gate;
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    children.push_back(Spawn([&, writer] {
      gate.Wait();
      SqliteRegistry reg(path);
      int failures = 0;
      for (int i = 0; i < kWrites; ++i) {
        // Both create the shared part of the path, and both write the same key.
        failures += !reg.CreateKeyPath("SOFTWARE\\Shared\\W" + std::to_string(writer) + "\\" + std::to_string(i));
        failures += !reg.SetDword("SOFTWARE\\Shared", ValueName(writer, i), i);
        uint32_t v = 0;
        failures += !reg.GetDword("SOFTWARE\\Shared", ValueName(writer, i), v) || v != static_cast<uint32_t>(i);
      }
      return std::min(failures, 100);
    }));
  }
  gate.Open();
  for (pid_t pid : children) EXPECT_EQ(Reap(pid), 0);

  // Each writer read its values back; here nothing of the other's is lost.
  SqliteRegistry reg(path);
  std::vector<std::string> names, expected;
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kWrites; ++i) expected.push_back(ValueName(writer, i));
    EXPECT_EQ(reg.GetSubKeyCount("SOFTWARE\\Shared\\W" + std::to_string(writer)), static_cast<uint32_t>(kWrites));
  }
  reg.EnumValues("SOFTWARE\\Shared", names);
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST(RegistryConcurrency, ReadersNeverSeeHalfATree) {
  testing_support::TempDir dir;
  const std::string path = dir.path().string();
  constexpr int kSubKeys = 12;
  {
    SqliteRegistry reg(path);
    for (int i = 0; i < kSubKeys; ++i) {
      ASSERT_TRUE(reg.CreateKeyPath("Src\\S" + std::to_string(i)));
      ASSERT_TRUE(reg.SetString("Src\\S" + std::to_string(i), "v", "x"));
    }
  }
  StartGate gate;
  const pid_t writer = Spawn([&] {
    gate.Wait();
    SqliteRegistry reg(path);
    for (int round = 0; round < 8; ++round) {
      if (!reg.CopyKey("Src", "Dst") || !reg.DeleteKeyTree("", "Dst")) return 1;
    }
    return 0;
  });
  gate.Open();

  SqliteRegistry reg(path);
  int odd = 0;
  int status = 0;
  std::set<RegistryError> errors;
  while (::waitpid(writer, &status, WNOHANG) == 0) {
    std::vector<std::string> names;
    RegistryError e;
    const uint32_t count = reg.EnumSubKeys("Dst", names, &e);
    errors.insert(e);
    if (e == RegistryError::Ok && count != kSubKeys) ++odd;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";
  EXPECT_EQ(odd, 0) << "a copy or deletion was seen half done";
  for (RegistryError e : errors) {
    EXPECT_TRUE(e == RegistryError::Ok || e == RegistryError::NotFound) << RegistryErrorName(e);
  }
  EXPECT_FALSE(reg.KeyExists("Dst"));
  EXPECT_EQ(reg.GetSubKeyCount("Src"), static_cast<uint32_t>(kSubKeys));
}

TEST(RegistryConcurrency, ThreadsWithTheirOwnInstances) {
  testing_support::TempDir dir;
  const std::string path = dir.path().string();
  {
    SqliteRegistry reg(path);
    ASSERT_TRUE(reg.CreateKeyPath("SOFTWARE\\Threads"));
  }
  constexpr int kThreads = 4;
  constexpr int kWrites = 15;
  std::vector<int> failures(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        SqliteRegistry reg(path);
        for (int i = 0; i < kWrites; ++i) {
          const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
          failures[t] += !reg.SetString("SOFTWARE\\Threads", name, name);
          std::string back;
          failures[t] += !reg.GetString("SOFTWARE\\Threads", name, back) || back != name;
          std::vector<std::string> names;
          failures[t] += reg.EnumValues("SOFTWARE\\Threads", names) < static_cast<uint32_t>(i + 1);
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  SqliteRegistry reg(path);
  EXPECT_EQ(reg.GetValueCount("SOFTWARE\\Threads"), static_cast<uint32_t>(kThreads * kWrites));
}

TEST(RegistryConcurrency, WriterKilledMidWayLeavesAConsistentRegistry) {
  testing_support::TempDir dir;
  const std::string path = dir.path().string();
  {
    SqliteRegistry reg(path);
    ASSERT_TRUE(reg.CreateKeyPath("SOFTWARE\\Crash"));
  }
  // The writer adds keys with a value each; every write is one transaction,
  // so whatever survives the kill is a whole number of them.
  const pid_t writer = Spawn([&] {
    SqliteRegistry reg(path);
    for (int i = 0;; ++i) {
      const std::string key = "SOFTWARE\\Crash\\K" + std::to_string(i);
      if (!reg.CreateKeyPath(key) || !reg.SetBinary(key, "data", std::vector<uint8_t>(20000, uint8_t(i)))) return 1;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ::kill(writer, SIGKILL);
  EXPECT_EQ(Reap(writer), 300 + SIGKILL);

  SqliteRegistry reg(path);
  std::vector<std::string> keys;
  ASSERT_TRUE(reg.EnumSubKeys("SOFTWARE\\Crash", keys));
  ASSERT_FALSE(keys.empty());
  // Creating a key and writing its value are two transactions: only the
  // newest key may have lost its value to the kill, and no value is torn.
  int newest = -1;
  for (const std::string& name : keys) newest = std::max(newest, std::stoi(name.substr(1)));
  for (const std::string& name : keys) {
    SCOPED_TRACE(name);
    const int index = std::stoi(name.substr(1));
    std::vector<uint8_t> data;
    RegistryError e;
    if (!reg.GetBinary("SOFTWARE\\Crash\\" + name, "data", data, &e)) {
      EXPECT_EQ(e, RegistryError::NotFound);
      EXPECT_EQ(index, newest) << "an older key lost its value";
      continue;
    }
    EXPECT_EQ(data, std::vector<uint8_t>(20000, static_cast<uint8_t>(index)));
  }
  EXPECT_TRUE(reg.SetString("SOFTWARE\\Crash", "after", "ok"));

  EXPECT_EQ(registry_testing::IntegrityCheck((dir.path() / "HKLM.db").string()), "ok");
}

}  // namespace
