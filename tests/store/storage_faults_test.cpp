#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "store/storage.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::string kUser = "S-1-5-18";

json Document(int n, size_t padding = 0) { return {{"n", n}, {"padding", std::string(padding, 'p')}}; }

class StorageFaultTest : public testing::Test {
 public:  // the tables below arrange faults through the fixture
  // The log is set up before any fault is, as a fault could stop it.
  StorageFaultTest() { testing_support::RouteLogToStandardError(); }
  std::string Local() const { return storage_.GetFileName("tarn", kUser, "local"); }
  // The file holds `current`, its backup `previous`.
  void SaveTwice(const json& previous, const json& current) {
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, previous), Storage::kStatusOk);
    ASSERT_EQ(storage_.SaveLocal("tarn", kUser, current), Storage::kStatusOk);
  }

  TempDir dir_;
  Storage storage_{dir_.path().string()};
};

// Each fault makes a save fail; afterwards the file (or, where the fault
// took the file, its backup) still holds the last good document.
TEST_F(StorageFaultTest, AFailedSaveReportsFailureAndKeepsTheGoodCopies) {
  struct Case {
    const char* name;
    std::function<std::function<void()>(StorageFaultTest&)> arrange;  // returns the undo step
    json loaded;  // what Load gives afterwards
  };
  const std::vector<Case> cases = {
      {"the disk refuses the data",
       [](StorageFaultTest&) -> std::function<void()> {
         auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
         rlimit previous{};
         ::getrlimit(RLIMIT_FSIZE, &previous);
         rlimit limit = previous;
         limit.rlim_cur = 4096;
         ::setrlimit(RLIMIT_FSIZE, &limit);
         return [=] {
           ::setrlimit(RLIMIT_FSIZE, &previous);
           ::signal(SIGXFSZ, previous_handler);
         };
       },
       Document(2)},
      {"the new file cannot be created",
       [](StorageFaultTest& t) -> std::function<void()> {
         fs::create_directory(t.Local() + ".tmp");
         return [&t] { fs::remove(t.Local() + ".tmp"); };
       },
       Document(2)},
      {"a folder where the file should be",
       [](StorageFaultTest& t) -> std::function<void()> {
         fs::remove(t.Local());
         fs::create_directory(t.Local());
         return [] {};
       },
       Document(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove_all(entry.path());
    SaveTwice(Document(1), Document(2));
    const std::function<void()> undo = c.arrange(*this);
    EXPECT_EQ(storage_.SaveLocal("tarn", kUser, Document(3, 64 * 1024)), Storage::kStatusFailed);
    undo();
    EXPECT_EQ(storage_.LoadLocal("tarn", kUser), c.loaded);
    EXPECT_EQ(storage_.LoadOnce(Local() + ".bck"), Document(1));
    EXPECT_FALSE(fs::exists(Local() + ".tmp"));
  }
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

// What a process that died during a save leaves behind, and what the next
// process then sees and does; also what no save leaves but a file may hold.
TEST_F(StorageFaultTest, LeftoversAndStrangeFilesDoNoHarm) {
  const json previous = Document(1), current = Document(2), next = Document(3);
  struct Case {
    const char* name;
    std::function<void(StorageFaultTest&)> leave;
    json loaded;  // what the next Load gives
  };
  const std::vector<Case> cases = {
      {"new text complete but not yet in place",
       [&](StorageFaultTest& t) { WriteFile(t.Local() + ".tmp", next.dump()); }, current},
      {"backup link made, not yet renamed",
       [](StorageFaultTest& t) { fs::create_hard_link(t.Local(), t.Local() + ".bck.link"); }, current},
      {"file moved aside, new one never written (older versions)",
       [](StorageFaultTest& t) { fs::rename(t.Local(), t.Local() + ".bck"); }, current},
      {"file cut short by a crash of the file system",
       [](StorageFaultTest& t) { WriteFile(t.Local(), R"({"n":2,"padd)"); }, previous},
      {"a fifo in place of the file does not hang the reader",
       [](StorageFaultTest& t) {
         fs::remove(t.Local());
         ASSERT_EQ(::mkfifo(t.Local().c_str(), 0600), 0);
       },
       previous},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove(entry.path());
    SaveTwice(previous, current);
    c.leave(*this);
    Storage restarted(dir_.path().string());
    EXPECT_EQ(restarted.LoadLocal("tarn", kUser), c.loaded);
    if (fs::is_fifo(Local())) continue;
    ASSERT_EQ(restarted.SaveLocal("tarn", kUser, next), Storage::kStatusOk);
    EXPECT_EQ(restarted.LoadLocal("tarn", kUser), next);
    // The backup is the last good document before `next`.
    EXPECT_EQ(restarted.LoadOnce(Local() + ".bck"), c.loaded);
    EXPECT_FALSE(fs::exists(Local() + ".tmp"));
    EXPECT_FALSE(fs::exists(Local() + ".bck.link"));
  }
  // A refused name has no backup either: ".bck" alone would name a file of
  // the current folder.
  const fs::path previous_folder = fs::current_path();
  fs::current_path(dir_.path());
  WriteFile(dir_.path() / ".bck", Document(1).dump());
  EXPECT_TRUE(storage_.LoadLocal("tarn", "../S-1-5-18").is_null());
  fs::current_path(previous_folder);
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
  std::atomic<int> unexpected{0};
  std::thread reader([&] {
    while (saving) {
      const json loaded = storage_.LoadLocal("tarn", kUser);
      if (loaded != a && loaded != b) ++unexpected;
    }
  });
  {
    std::jthread first(saver, std::cref(a)), second(saver, std::cref(b));
  }
  saving = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(unexpected, 0);
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
    testing_support::LogCapture log;
    const json loaded = Storage(dir_.path().string()).LoadLocal("tarn", kUser);
    EXPECT_TRUE(loaded == a || loaded == b);
    EXPECT_EQ(log.Text(), "") << "the file itself, not its backup";
  }
}

}  // namespace
