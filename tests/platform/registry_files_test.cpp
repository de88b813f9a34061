// The registry's files: rights, creation modes, corrupt and foreign files,
// files replaced under a running instance, and a disk that refuses to grow.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "platform/sqlite_registry.h"
#include "registry_test_helpers.h"
#include "support/forked_child.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::kNobody;
using testing_support::RunInChild;

int Code(RegistryError e) { return static_cast<int>(e); }

using testing_support::ModeOf;

class RegistryFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The unprivileged child must be able to reach the registry folder.
    fs::permissions(dir_.path(), fs::perms(0755));
    machine_ = dir_.path() / "HKLM.db";
    SqliteRegistry reg(dir_.path().string());
    ASSERT_TRUE(reg.CreateKeyPath("SOFTWARE\\Halvern"));
    ASSERT_TRUE(reg.SetString("SOFTWARE\\Halvern", "v", "value"));
  }

  std::string Dir() const { return dir_.path().string(); }

  testing_support::TempDir dir_;
  fs::path machine_;
};

TEST_F(RegistryFilesTest, RightsOfAnUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string dir = Dir();
  // The error `op` leaves in a registry opened by "nobody".
  auto as_nobody = [&](void (*op)(SqliteRegistry&)) {
    return RunInChild(
        [&] {
          SqliteRegistry reg(dir);
          op(reg);
          return Code(reg.GetLastError());
        },
        kNobody);
  };
  auto read = [](SqliteRegistry& reg) {
    std::string s;
    reg.GetString("SOFTWARE\\Halvern", "v", s);
  };
  auto write = [](SqliteRegistry& reg) { reg.SetString("SOFTWARE\\Halvern", "v", "changed"); };
  const auto denied = Code(RegistryError::AccessDenied);

  // The machine hive, 0644 and owned by root: readable, not writable.
  EXPECT_EQ(as_nobody(read), Code(RegistryError::Ok));
  EXPECT_EQ(as_nobody(write), denied);
  // The user's own hive would go into a folder only root may write.
  EXPECT_EQ(as_nobody([](SqliteRegistry& reg) {
              reg.SetRootKey(HKEY_CURRENT_USER);
              reg.CreateKeyPath("Software\\Mine");
            }),
            denied);

  // Writable file in a folder the user may not write: no journal, no write.
  ASSERT_EQ(::chown(machine_.c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(as_nobody(write), denied);
  ASSERT_EQ(::chown(machine_.c_str(), 0, 0), 0);

  // A file the user may not read, and a folder the user may not enter.
  fs::permissions(machine_, fs::perms(0600));
  EXPECT_EQ(as_nobody(read), denied);
  fs::permissions(machine_, fs::perms(0644));
  fs::permissions(dir_.path(), fs::perms(0700));
  EXPECT_EQ(as_nobody(read), denied);
}

TEST_F(RegistryFilesTest, NewFilesGetFixedModesWhateverTheUmask) {
  const mode_t old = ::umask(077);
  const fs::path nested = dir_.path() / "a" / "b";
  {
    SqliteRegistry reg(nested.string());
    reg.SetRootKey(HKEY_USERS);
    EXPECT_TRUE(reg.CreateKeyPath("S-1-22-1-1000\\Software"));
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(reg.CreateKeyPath("SOFTWARE"));
  }
  ::umask(old);
  for (const fs::path& folder : {dir_.path() / "a", nested, nested / "HKU"}) EXPECT_EQ(ModeOf(folder), 0755u);
  EXPECT_EQ(ModeOf(nested / "HKU" / "S-1-22-1-1000.db"), 0644u);
  EXPECT_EQ(ModeOf(nested / "HKLM.db"), 0644u);
}

// Writes `sql` into a fresh SQLite file at `path`.
void MakeSqliteFile(const fs::path& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

TEST_F(RegistryFilesTest, BrokenOrForeignFilesFailWithoutHarm) {
  // A registry with enough data to span many pages, for the damaged copy.
  {
    SqliteRegistry reg(Dir());
    for (int i = 0; i < 160; ++i) {
      const std::string key = "SOFTWARE\\Halvern\\K" + std::to_string(i);
      ASSERT_TRUE(reg.CreateKeyPath(key) && reg.SetString(key, "v", std::string(200, 'x')));
    }
  }
  const std::string healthy = testing_support::ReadFile(machine_);
  ASSERT_GT(healthy.size(), 16u * 4096);

  struct Case {
    const char* name;
    std::function<void()> damage;
  } cases[] = {
      {"text instead of a database", [&] { testing_support::WriteFile(machine_, "not a database at all\n"); }},
      {"pages overwritten",
       [&] {
         std::string damaged = healthy;
         for (size_t i = 4096; i < damaged.size(); ++i) damaged[i] = static_cast<char>(i * 31 + 7);
         testing_support::WriteFile(machine_, damaged);
       }},
      {"another program's database",
       [&] {
         fs::remove(machine_);
         MakeSqliteFile(machine_, "CREATE TABLE keys(x); INSERT INTO keys VALUES(1);");
       }},
      {"a later schema",
       [&] {
         testing_support::WriteFile(machine_, healthy);
         MakeSqliteFile(machine_, "PRAGMA user_version = 99;");
       }},
      {"a folder in its place",
       [&] {
         fs::remove(machine_);
         fs::create_directory(machine_);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(machine_);
    c.damage();
    SqliteRegistry reg(Dir());
    std::string s;
    std::vector<std::string> names;
    // Every call fails, and says so: none answers "not found" or succeeds.
    const auto error = [&](bool ok) { return ok ? RegistryError::Ok : reg.GetLastError(); };
    EXPECT_EQ((std::vector<RegistryError>{error(reg.GetString("SOFTWARE\\Halvern\\K75", "v", s)),
                                          error(reg.SetString("SOFTWARE\\Halvern", "v", "new")),
                                          error(reg.CreateKeyPath("SOFTWARE\\Other")),
                                          error(reg.EnumSubKeys("SOFTWARE\\Halvern", names) != 0),
                                          error(reg.KeyExists("SOFTWARE"))}),
              std::vector<RegistryError>(5, RegistryError::Failed));
  }

  // An empty file (a creator that has not written the schema yet) is no hive
  // for a reader, and becomes one on the first write.
  fs::remove_all(machine_);
  testing_support::WriteFile(machine_, "");
  SqliteRegistry reg(Dir());
  EXPECT_FALSE(reg.KeyExists("SOFTWARE"));
  EXPECT_EQ(reg.GetLastError(), RegistryError::NotFound);
  EXPECT_TRUE(reg.CreateKeyPath("SOFTWARE\\New"));
  EXPECT_TRUE(reg.KeyExists("software\\new"));
}

TEST_F(RegistryFilesTest, InstanceFollowsFilesReplacedUnderIt) {
  SqliteRegistry reg(Dir());
  std::string s;
  ASSERT_TRUE(reg.GetString("SOFTWARE\\Halvern", "v", s));

  fs::remove(machine_);
  RegistryError e;
  EXPECT_FALSE(reg.GetString("SOFTWARE\\Halvern", "v", s, &e)) << "no answers from a deleted file";
  EXPECT_EQ(e, RegistryError::NotFound);
  EXPECT_FALSE(fs::exists(machine_)) << "a read does not bring it back";

  {
    SqliteRegistry other(Dir());
    ASSERT_TRUE(other.CreateKeyPath("SOFTWARE\\Halvern"));
    ASSERT_TRUE(other.SetString("SOFTWARE\\Halvern", "v", "second"));
  }
  EXPECT_TRUE(reg.GetString("SOFTWARE\\Halvern", "v", s));
  EXPECT_EQ(s, "second");
  EXPECT_TRUE(reg.SetString("SOFTWARE\\Halvern", "v", "third"));
  SqliteRegistry check(Dir());
  EXPECT_TRUE(check.GetString("SOFTWARE\\Halvern", "v", s));
  EXPECT_EQ(s, "third");
}

TEST_F(RegistryFilesTest, FullDiskLosesNothing) {
  const std::string dir = Dir();
  const auto limit = static_cast<rlim_t>(fs::file_size(machine_) + 4096);
  // Files may not grow past their size: every larger write fails as on a
  // full disk (EFBIG instead of SIGXFSZ).
  const int code = RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 100;
    SqliteRegistry reg(dir);
    RegistryError e;
    reg.SetBinary("SOFTWARE\\Halvern", "big", std::vector<uint8_t>(1 << 20, 1), &e);
    return e == RegistryError::Failed ? 0 : 1;
  });
  EXPECT_EQ(code, 0);

  SqliteRegistry reg(dir);
  std::string s;
  EXPECT_TRUE(reg.GetString("SOFTWARE\\Halvern", "v", s));
  EXPECT_EQ(s, "value");
  EXPECT_EQ(reg.GetValueType("SOFTWARE\\Halvern", "big"), 0u);
  EXPECT_TRUE(reg.SetString("SOFTWARE\\Halvern", "after", "ok"));

  EXPECT_EQ(registry_testing::IntegrityCheck(machine_), "ok");
}

}  // namespace
