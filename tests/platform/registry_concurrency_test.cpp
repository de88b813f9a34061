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
#include "support/forked_child.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReapChild;
using testing_support::SpawnChild;

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

std::string ValueName(int writer, int i) { return "w" + std::to_string(writer) + "_" + std::to_string(i); }

// One writer's part, on an instance of its own: every writer creates the
// shared part of a key path and writes values of the same key, reading each
// back at once. Returns the number of failures.
int WriteAndReadBack(const std::string& path, int writer, int count) {
  SqliteRegistry reg(path);
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    failures += !reg.CreateKeyPath("SOFTWARE\\Shared\\W" + std::to_string(writer) + "\\" + std::to_string(i));
    failures += !reg.SetDword("SOFTWARE\\Shared", ValueName(writer, i), i);
    uint32_t v = 0;
    failures += !reg.GetDword("SOFTWARE\\Shared", ValueName(writer, i), v) || v != static_cast<uint32_t>(i);
    std::vector<std::string> names;
    failures += reg.EnumValues("SOFTWARE\\Shared", names) < static_cast<uint32_t>(i + 1);
  }
  return std::min(failures, 100);
}

// Afterwards nothing of any writer is lost.
void ExpectEverythingWritten(const std::string& path, int writers, int count) {
  SqliteRegistry reg(path);
  std::vector<std::string> names, expected;
  for (int writer = 0; writer < writers; ++writer) {
    for (int i = 0; i < count; ++i) expected.push_back(ValueName(writer, i));
    EXPECT_EQ(reg.EnumSubKeys("SOFTWARE\\Shared\\W" + std::to_string(writer), names), static_cast<uint32_t>(count));
  }
  reg.EnumValues("SOFTWARE\\Shared", names);
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST(RegistryConcurrency, ThreadsWithTheirOwnInstances) {
  testing_support::TempDir dir;
  const std::string path = dir.path().string();
  constexpr int kThreads = 4;
  std::vector<int> failures(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { failures[t] = WriteAndReadBack(path, t, 15); });
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  ExpectEverythingWritten(path, kThreads, 15);
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
  const pid_t writer = SpawnChild([&] {
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
  std::vector<std::string> names;
  EXPECT_EQ(reg.EnumSubKeys("Src", names), static_cast<uint32_t>(kSubKeys));
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
  const pid_t writer = SpawnChild([&] {
    SqliteRegistry reg(path);
    for (int i = 0;; ++i) {
      const std::string key = "SOFTWARE\\Crash\\K" + std::to_string(i);
      if (!reg.CreateKeyPath(key) || !reg.SetBinary(key, "data", std::vector<uint8_t>(20000, uint8_t(i)))) return 1;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ::kill(writer, SIGKILL);
  EXPECT_EQ(ReapChild(writer), 300 + SIGKILL);

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
