#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store/storage.h"
#include "store/storage_log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using storage_testing::LogCapture;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::string kUser = "S-1-5-18";

json Document(int n, size_t padding = 0) { return {{"n", n}, {"padding", std::string(padding, 'p')}}; }

// Lowers the largest file this process may write; a write past it fails with
// EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    ::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit previous_{};
  sighandler_t previous_handler_;
};

class StorageFaultTest : public testing::Test {
 public:  // the tables below arrange faults through the fixture
  // The log is set up before any fault is, as a fault could stop it.
  StorageFaultTest() { storage_testing::RouteLogToStandardError(); }
  std::string Local() const { return storage_.GetFileName("tarn", kUser, "local"); }
  // The file holds `current`, its backup `previous`.
  void SaveTwice(const json& previous, const json& current) {
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, previous), Storage::kStatusOk);
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, current), Storage::kStatusOk);
  }

  TempDir dir_;
  Storage storage_{dir_.path().string()};
};

TEST_F(StorageFaultTest, AFailedSaveReportsFailureAndKeepsTheGoodCopies) {
  struct Case {
    const char* name;
    std::function<std::function<void()>(StorageFaultTest&)> arrange;  // returns the undo step
    std::string message;
  };
  const json old_backup = Document(1), old_file = Document(2), refused = Document(3, 64 * 1024);
  const std::vector<Case> cases = {
      {"the disk refuses the data",
       [](StorageFaultTest&) {
         auto limit = std::make_shared<FileSizeLimit>(4096);
         return [limit]() mutable { limit.reset(); };
       },
       "Failed to write data to file '"},
      {"the new file cannot be created",
       [](StorageFaultTest& t) {
         fs::create_directory(t.Local() + ".tmp");
         return [&t] { fs::remove(t.Local() + ".tmp"); };
       },
       "' for writing: " + std::to_string(EISDIR)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SaveTwice(old_backup, old_file);
    auto undo = c.arrange(*this);
    {
      LogCapture log;
      EXPECT_EQ(storage_.SaveLocal("tarn", kUser, refused), Storage::kStatusFailed);
      EXPECT_TRUE(log.Contains(c.message)) << log.Text();
    }
    undo();
    LogCapture log;
    EXPECT_EQ(storage_.LoadLocal("tarn", kUser), old_file);
    EXPECT_EQ(storage_.LoadOnce(Local() + ".bck"), old_backup);
    EXPECT_EQ(log.Text(), "");
    EXPECT_FALSE(fs::exists(Local() + ".tmp"));
  }
}

TEST_F(StorageFaultTest, AFolderWhereTheFileShouldBeLeavesTheBackupAsTheGoodCopy) {
  SaveTwice(Document(1), Document(2));
  fs::remove(Local());
  fs::create_directory(Local());
  {
    LogCapture log;
    EXPECT_EQ(storage_.SaveLocal("tarn", kUser, Document(3)), Storage::kStatusFailed);
    EXPECT_TRUE(log.Contains("Failed to move '" + Local() + ".tmp' to '" + Local() + "'")) << log.Text();
  }
  EXPECT_FALSE(fs::exists(Local() + ".tmp"));
  LogCapture log;
  EXPECT_EQ(storage_.LoadLocal("tarn", kUser), Document(1));
  EXPECT_TRUE(log.Contains("Backup of file '" + Local() + "' used")) << log.Text();
}

// A private mount namespace for this test process, so that mounts made by a
// test never show outside it, whatever happens to the test.
bool PrivateMounts() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A folder that may be written but not opened: the file is replaced, only the
// folder's sync fails. The save reports what is on the disk.
TEST_F(StorageFaultTest, AFolderThatCannotBeSyncedStillReportsTheSaveDone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const fs::path folder = dir_.path() / "unlistable";
  fs::create_directories(folder);
  fs::permissions(dir_.path(), fs::perms(0755));
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  fs::permissions(folder, fs::perms::owner_write | fs::perms::owner_exec);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    Storage storage(folder.string());
    const bool saved = storage.SaveLocal("tarn", kUser, Document(1)) == Storage::kStatusOk &&
                       storage.SaveLocal("tarn", kUser, Document(2)) == Storage::kStatusOk;
    ::_exit(saved && storage.LoadLocal("tarn", kUser) == Document(2) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(StorageFaultTest, ARefusedNameLoadsNothingNotAFileOfTheCurrentFolder) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  WriteFile(dir_.path() / ".bck", Document(1).dump());
  EXPECT_TRUE(storage_.LoadLocal("tarn", "../S-1-5-18").is_null());
  fs::current_path(previous);
}

TEST_F(StorageFaultTest, AReadOnlyFolderRefusesTheSave) {
  SaveTwice(Document(1), Document(2));
  const std::string folder = dir_.path().string();
  int expected = 0;
  if (::geteuid() != 0) {
    fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
    expected = EACCES;
  } else if (PrivateMounts() && ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0) {
    // Root writes into folders without write permission; a read-only mount stops it.
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      ::umount2(folder.c_str(), MNT_DETACH);
      GTEST_SKIP() << "cannot make a read-only mount here";
    }
    expected = EROFS;
  } else {
    GTEST_SKIP() << "cannot make a read-only folder here";
  }
  {
    LogCapture log;
    EXPECT_EQ(storage_.SaveLocal("tarn", kUser, Document(3)), Storage::kStatusFailed);
    EXPECT_TRUE(log.Contains("' for writing: " + std::to_string(expected))) << log.Text();
  }
  EXPECT_EQ(storage_.LoadLocal("tarn", kUser), Document(2));
  EXPECT_EQ(storage_.LoadOnce(Local() + ".bck"), Document(1));
  if (expected == EROFS) {
    ::umount2(folder.c_str(), MNT_DETACH);
  } else {
    fs::permissions(dir_.path(), fs::perms::owner_all);
  }
}

TEST(StorageFullDiskTest, AFullFileSystemKeepsTheLastGoodDocument) {
  storage_testing::RouteLogToStandardError();
  TempDir dir;
  const std::string mount_point = dir.File("small");
  fs::create_directory(mount_point);
  if (!PrivateMounts() || ::mount("velder-test", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (errno " << errno << ")";
  }
  {
    Storage storage(mount_point);
    const std::string local = storage.GetFileName("tarn", kUser, "local");
    ASSERT_EQ(storage.SaveLocal("tarn", kUser, Document(1, 8 * 1024)), Storage::kStatusOk);
    ASSERT_EQ(storage.SaveLocal("tarn", kUser, Document(2, 8 * 1024)), Storage::kStatusOk);
    {
      LogCapture log;
      EXPECT_EQ(storage.SaveLocal("tarn", kUser, Document(3, 128 * 1024)), Storage::kStatusFailed);
      EXPECT_TRUE(log.Contains("Failed to write data to file '" + local + "': " + std::to_string(ENOSPC)))
          << log.Text();
    }
    EXPECT_TRUE(storage.LoadLocal("tarn", kUser) == Document(2, 8 * 1024));
    EXPECT_TRUE(storage.LoadOnce(local + ".bck") == Document(1, 8 * 1024));
    EXPECT_FALSE(fs::exists(local + ".tmp"));
    // Once there is room again, saving works.
    EXPECT_EQ(storage.SaveLocal("tarn", kUser, Document(4, 8 * 1024)), Storage::kStatusOk);
    EXPECT_TRUE(storage.LoadLocal("tarn", kUser) == Document(4, 8 * 1024));
  }
  ::umount2(mount_point.c_str(), MNT_DETACH);
}

// What a process that died during a save leaves behind, and what the next
// process then sees and does.
TEST_F(StorageFaultTest, LeftoversOfAnInterruptedSaveDoNoHarm) {
  const json previous = Document(1), current = Document(2), next = Document(3);
  struct Case {
    const char* name;
    std::function<void(StorageFaultTest&)> leave;
    json loaded;  // what the next Load gives
    bool backup_message;
  };
  const std::vector<Case> cases = {
      {"new text complete but not yet in place",
       [&](StorageFaultTest& t) { WriteFile(t.Local() + ".tmp", next.dump()); }, current, false},
      {"backup link made, not yet renamed",
       [](StorageFaultTest& t) { fs::create_hard_link(t.Local(), t.Local() + ".bck.link"); }, current, false},
      {"file moved aside, new one never written (older versions)",
       [](StorageFaultTest& t) { fs::rename(t.Local(), t.Local() + ".bck"); }, current, true},
      {"file cut short by a crash of the file system",
       [](StorageFaultTest& t) { WriteFile(t.Local(), R"({"n":2,"padd)"); }, previous, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove(entry.path());
    SaveTwice(previous, current);
    c.leave(*this);

    Storage restarted(dir_.path().string());
    {
      LogCapture log;
      EXPECT_EQ(restarted.LoadLocal("tarn", kUser), c.loaded);
      EXPECT_EQ(log.Contains("Backup of file"), c.backup_message) << log.Text();
    }
    ASSERT_EQ(restarted.SaveLocal("tarn", kUser, next), Storage::kStatusOk);
    EXPECT_EQ(restarted.LoadLocal("tarn", kUser), next);
    // The backup is the last good document before `next`.
    EXPECT_EQ(restarted.LoadOnce(Local() + ".bck"), c.loaded);
    EXPECT_FALSE(fs::exists(Local() + ".tmp"));
    EXPECT_FALSE(fs::exists(Local() + ".bck.link"));
  }
}

TEST_F(StorageFaultTest, AFifoInPlaceOfTheFileDoesNotHangTheReader) {
  SaveTwice(Document(1), Document(2));
  fs::remove(Local());
  ASSERT_EQ(::mkfifo(Local().c_str(), 0600), 0);
  LogCapture log;
  EXPECT_EQ(storage_.LoadLocal("tarn", kUser), Document(1));
  EXPECT_TRUE(log.Contains("Failed to open file '" + Local() + "', error=" + std::to_string(EINVAL))) << log.Text();
}

TEST_F(StorageFaultTest, ThreadsSavingTheSameFileNeverExposeAPartialDocument) {
  constexpr int kRounds = 100;
  const json a = Document(1, 20000), b = Document(2, 30000);
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, a), Storage::kStatusOk);
  std::atomic<int> failures{0};
  std::atomic<bool> saving{true};
  auto saver = [&](const json& document) {
    for (int i = 0; i < kRounds; ++i) {
      if (storage_.SaveLocal("tarn", kUser, document) != Storage::kStatusOk) ++failures;
    }
  };
  std::vector<json> seen;
  std::thread reader([&] {
    while (saving) {
      json loaded = storage_.LoadLocal("tarn", kUser);
      if (loaded != a && loaded != b) seen.push_back(std::move(loaded));
    }
  });
  {
    std::jthread first(saver, std::cref(a)), second(saver, std::cref(b));
  }
  saving = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(seen.empty()) << seen.size() << " unexpected loads, first: " << seen.front().dump().substr(0, 80);
  for (const std::string& file : {Local(), Local() + ".bck"}) {
    const json stored = storage_.LoadOnce(file);
    EXPECT_TRUE(stored == a || stored == b) << file;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);  // no leftovers
}

// A real process is killed at arbitrary points of its saves: whatever moment
// the kill hits, the next process loads a whole document from the file itself.
TEST_F(StorageFaultTest, AProcessKilledWhileSavingLeavesAWholeDocument) {
  const json a = Document(1, 200000), b = Document(2, 300000);
  ASSERT_EQ(storage_.SaveLocal("tarn", kUser, a), Storage::kStatusOk);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Storage storage(dir_.path().string());
      for (int i = 0;; ++i) storage.SaveLocal("tarn", kUser, i % 2 ? a : b);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + 7 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    Storage restarted(dir_.path().string());
    LogCapture log;
    const json loaded = restarted.LoadLocal("tarn", kUser);
    EXPECT_TRUE(loaded == a || loaded == b);
    EXPECT_EQ(log.Text(), "");
  }
}

}  // namespace
