#include "logging/log_file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/forked_child.h"
#include "support/temp_dir.h"

namespace HvQorLogging {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// A waiter that opened the lock file before it was removed must not take
// the lock on the removed file while another holds the new one.
TEST(LogFileLock, ARemovedLockFileIsNotTrusted) {
  TempDir dir;
  const std::string path = dir.File("x.lock");
  auto stale = LogFileLock::Shared(path, true);
  ASSERT_TRUE(stale->Acquire(milliseconds(0)));
  stale->Release();
  ASSERT_TRUE(fs::remove(path));
  auto fresh = LogFileLock::Shared(path, true);
  ASSERT_TRUE(fresh->Acquire(milliseconds(0)));
  EXPECT_FALSE(stale->Acquire(milliseconds(20)));
  fresh->Release();
  EXPECT_TRUE(stale->Acquire(milliseconds(0)));
  stale->Release();
}

TEST(LogFileLock, PlantedFilesAreReplacedNotUsed) {
  TempDir dir;
  const std::string victim = dir.File("victim");
  WriteFile(victim, "precious");
  const std::string path = dir.File("x.lock");
  for (const char* kind : {"symlink", "hardlink", "fifo"}) {
    SCOPED_TRACE(kind);
    fs::remove(path);
    const std::string k = kind;
    ASSERT_EQ(k == "symlink"    ? ::symlink(victim.c_str(), path.c_str())
              : k == "hardlink" ? ::link(victim.c_str(), path.c_str())
                                : ::mkfifo(path.c_str(), 0600),
              0);
    auto lock = LogFileLock::Shared(path, true);
    ASSERT_TRUE(lock->Acquire(milliseconds(100)));
    lock->Release();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
    EXPECT_EQ(fs::hard_link_count(path), 1u);
    EXPECT_EQ(ReadFile(victim), "precious");
  }
  // A lock file that cannot be made: no lock, at once.
  auto nowhere = LogFileLock::Shared(dir.File("missing/x.lock"), true);
  EXPECT_FALSE(nowhere->Acquire(milliseconds(100)));
}

// A forked child shares its parent's open lock file; without its own it
// would take the lock its parent holds.
TEST(LogFileLock, ForkedChildWaitsForItsParent) {
  TempDir dir;
  auto lock = LogFileLock::Shared(dir.File("x.lock"), true);
  ASSERT_TRUE(lock->Acquire(milliseconds(0)));
  EXPECT_EQ(testing_support::RunInChild([&] {
              lock->DropAfterFork();
              return lock->Acquire(milliseconds(50)) ? 1 : 0;
            }),
            0)
      << "the child took a lock its parent holds";
  // The child's leaving did not release the parent's lock.
  auto other = LogFileLock::Shared(dir.File("x.lock"), true);
  EXPECT_FALSE(other->Acquire(milliseconds(0)));
  lock->Release();
  EXPECT_TRUE(other->Acquire(milliseconds(0)));
  other->Release();
}

}  // namespace
}  // namespace HvQorLogging
