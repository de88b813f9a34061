// A reader and a writer in two processes on one registry at once, and a
// writer killed in the middle of its work.
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
  const pid_t writer = SpawnChild([&] {
    SqliteRegistry reg(path);
    for (int round = 0; round < 8; ++round) {
      if (!reg.CopyKey("Src", "Dst") || !reg.DeleteKeyTree("", "Dst")) return 1;
    }
    return 0;
  });

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
