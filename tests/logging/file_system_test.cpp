#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "logging/file_system_file.h"
#include "logging/file_system_path.h"
#include "support/temp_dir.h"

namespace HvQorLogging::FileSystem {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const Permissions kExact{0755, 0644, true};
const Permissions kUmasked{0755, 0644, false};

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(File, CreatesWithModesAndAppendsAtTheEnd) {
  TempDir dir;
  ScopedUmask mask(077);
  File exact, umasked;
  ASSERT_TRUE(exact.Open(dir.File("a.log"), kExact));
  ASSERT_TRUE(umasked.Open(dir.File("b.log"), kUmasked));
  EXPECT_EQ(ModeOf(dir.File("a.log")), 0644u);  // an administrator's log does not depend on the umask
  EXPECT_EQ(ModeOf(dir.File("b.log")), 0600u);
  EXPECT_TRUE(exact.IsNarrow());
  EXPECT_EQ(exact.SeekEnd(), 0u);

  // A second writer of the same file: every append still lands at the end.
  File other;
  ASSERT_TRUE(other.Open(dir.File("a.log"), kExact));
  EXPECT_TRUE(exact.Append("one\n", 4));
  EXPECT_TRUE(other.Append("two\n", 4));
  EXPECT_TRUE(exact.Append("three\n", 6));
  EXPECT_EQ(ReadFile(dir.File("a.log")), "one\ntwo\nthree\n");
  EXPECT_EQ(exact.SeekEnd(), 14u);
  EXPECT_TRUE(exact.Flush());
  // Opening an open file changes nothing; a closed file refuses work.
  EXPECT_TRUE(exact.Open(dir.File("elsewhere.log"), kExact));
  EXPECT_FALSE(fs::exists(dir.File("elsewhere.log")));
  exact.Close();
  EXPECT_FALSE(exact.IsOpen());
  EXPECT_FALSE(exact.Append("x", 1));
  EXPECT_FALSE(exact.Validate());
  EXPECT_FALSE(exact.Flush());
  EXPECT_EQ(exact.SeekEnd(), 0u);
  // An existing file keeps its mode.
  ::chmod(dir.File("b.log").c_str(), 0640);
  File again;
  ASSERT_TRUE(again.Open(dir.File("b.log"), kExact));
  EXPECT_EQ(ModeOf(dir.File("b.log")), 0640u);
}

TEST(File, RefusesWhatMustNotBeWritten) {
  TempDir dir;
  const std::string victim = dir.File("victim");
  WriteFile(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), dir.File("link.log").c_str()), 0);
  ASSERT_EQ(::link(victim.c_str(), dir.File("hard.log").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.File("fifo.log").c_str(), 0600), 0);  // opening must not block
  fs::create_directory(dir.File("dir.log"));
  ASSERT_EQ(::symlink(dir.File("nowhere").c_str(), dir.File("dangling.log").c_str()), 0);
  const struct {
    const char* name;
    int error;
  } cases[] = {{"link.log", ELOOP}, {"hard.log", EMLINK}, {"fifo.log", EINVAL}, {"dir.log", EISDIR},
               {"dangling.log", ELOOP}, {"no/such/dir.log", ENOENT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    File file;
    EXPECT_FALSE(file.Open(dir.File(c.name), kExact));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.last_error(), c.error);
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(fs::exists(dir.File("nowhere")));
}

TEST(File, Utf16MarkMeansAnOlderFormat) {
  TempDir dir;
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {"\xff", true}, {"\xfe\xff", true}, {"\xff\xfe", false}, {"\xff\xfeL\0o\0g\0", false},
      {"plain text", true}};
  for (const auto& [content, narrow] : cases) {
    SCOPED_TRACE(content.size());
    const std::string path = dir.File("mark.log");
    WriteFile(path, content);
    File file;
    ASSERT_TRUE(file.Open(path, kExact));
    EXPECT_EQ(file.IsNarrow(), narrow);
    EXPECT_EQ(file.SeekEnd(), content.size());
  }
}

TEST(File, IsAtNoticesRotationAndRemoval) {
  TempDir dir;
  const std::string path = dir.File("x.log");
  File file;
  ASSERT_TRUE(file.Open(path, kExact));
  EXPECT_TRUE(file.IsAt(path));
  ASSERT_TRUE(Path().MoveFile(path, dir.File("x.1.log")));
  EXPECT_FALSE(file.IsAt(path));
  EXPECT_TRUE(file.IsAt(dir.File("x.1.log")));
  ASSERT_EQ(::unlink(dir.File("x.1.log").c_str()), 0);
  EXPECT_FALSE(file.IsAt(dir.File("x.1.log")));
  // A new file at the old name is not the open one.
  File replacement;
  ASSERT_TRUE(replacement.Open(path, kExact));
  EXPECT_FALSE(file.IsAt(path));
}

// A disk that refuses part of a line: the file is cut back to where the line
// began, so the next writer does not continue a torn line.
TEST(File, FailedAppendLeavesNoPartialLine) {
  TempDir dir;
  const std::string path = dir.File("full.log");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    File file;
    if (!file.Open(path, kExact)) ::_exit(10);
    const std::string line(60, 'a');
    if (!file.Append(line.data(), line.size())) ::_exit(11);
    if (file.Append(line.data(), line.size())) ::_exit(12);  // only 40 bytes fit
    if (file.SeekEnd() != 60) ::_exit(13);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), std::string(60, 'a'));
}

TEST(Path, CreateDirectoriesReplacesPlantedLinks) {
  TempDir dir;
  ScopedUmask mask(077);
  Path path;
  const std::string root = dir.File("root");
  const std::string elsewhere = dir.File("elsewhere");
  fs::create_directory(root);
  fs::create_directory(elsewhere);
  // Links planted at the first level and at the last one, and a dangling one
  // in the middle.
  ASSERT_EQ(::symlink(elsewhere.c_str(), (root + "/Halvern").c_str()), 0);
  const std::string target = root + "/Halvern/NS/id/Log/QOR";
  ASSERT_TRUE(path.CreateDirectories(target, root.size() + 1, kExact));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(root + "/Halvern")));
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_EQ(ModeOf(root + "/Halvern"), 0755u);
  EXPECT_EQ(ModeOf(target), 0755u);

  fs::remove(target);
  ASSERT_EQ(::symlink(elsewhere.c_str(), target.c_str()), 0);
  ASSERT_TRUE(path.CreateDirectories(target, root.size() + 1, kExact));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(target)));

  fs::remove(target);
  fs::remove(root + "/Halvern/NS/id/Log");
  ASSERT_EQ(::symlink((dir.File("missing")).c_str(), (root + "/Halvern/NS/id/Log").c_str()), 0);
  ASSERT_TRUE(path.CreateDirectories(target, root.size() + 1, kUmasked));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(root + "/Halvern/NS/id/Log")));
  EXPECT_EQ(ModeOf(target), 0700u);  // without exact modes the umask applies
  EXPECT_FALSE(fs::exists(dir.File("missing")));
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(Path, CreateDirectoriesLeavesTheRootAloneAndStopsAtFiles) {
  TempDir dir;
  Path path;
  // The root itself may be a link (a configured location); it is used as is.
  const std::string real_root = dir.File("real");
  fs::create_directory(real_root);
  const std::string root = dir.File("root");
  ASSERT_EQ(::symlink(real_root.c_str(), root.c_str()), 0);
  ASSERT_TRUE(path.CreateDirectories(root + "/Halvern/Log", root.size() + 1, kExact));
  EXPECT_TRUE(fs::is_symlink(root));
  EXPECT_TRUE(fs::is_directory(real_root + "/Halvern/Log"));
  // Existing directories are fine, twice over.
  EXPECT_TRUE(path.CreateDirectories(root + "/Halvern/Log", root.size() + 1, kExact));
  EXPECT_TRUE(path.CreateDirectories(root + "/Halvern/Log/", root.size() + 1, kExact));
  // A regular file where a directory should be is not removed.
  WriteFile(real_root + "/Halvern/File", "keep");
  EXPECT_FALSE(path.CreateDirectories(root + "/Halvern/File/Log", root.size() + 1, kExact));
  EXPECT_FALSE(path.CreateDirectories(root + "/Halvern/File", root.size() + 1, kExact));
  EXPECT_EQ(ReadFile(real_root + "/Halvern/File"), "keep");
  // A missing root is not created.
  EXPECT_FALSE(path.CreateDirectories(dir.File("absent") + "/Halvern", dir.File("absent").size() + 1, kExact));
  EXPECT_FALSE(fs::exists(dir.File("absent")));
  EXPECT_FALSE(path.CreateDirectories("", 0, kExact));
}

TEST(Path, FileOperations) {
  TempDir dir;
  Path path;
  WriteFile(dir.File("a"), "A");
  fs::create_directory(dir.File("d"));
  ASSERT_EQ(::symlink(dir.File("d").c_str(), dir.File("link-to-dir").c_str()), 0);
  EXPECT_TRUE(path.IsFile(dir.File("a")));
  EXPECT_FALSE(path.IsFile(dir.File("d")));
  EXPECT_TRUE(path.IsFile(dir.File("link-to-dir")));  // the link itself
  EXPECT_FALSE(path.IsFile(dir.File("missing")));

  WriteFile(dir.File("b"), "B");
  EXPECT_TRUE(path.MoveFile(dir.File("a"), dir.File("b")));
  EXPECT_EQ(ReadFile(dir.File("b")), "A");
  EXPECT_FALSE(path.MoveFile(dir.File("a"), dir.File("c")));
  // Moving a link moves the link, not its target.
  EXPECT_TRUE(path.MoveFile(dir.File("link-to-dir"), dir.File("moved-link")));
  EXPECT_TRUE(fs::is_symlink(dir.File("moved-link")));
  EXPECT_TRUE(fs::is_directory(dir.File("d")));

  EXPECT_TRUE(path.DeleteFile(dir.File("b")));
  EXPECT_FALSE(fs::exists(dir.File("b")));
  EXPECT_TRUE(path.DeleteFile(dir.File("b")));  // already gone
  EXPECT_TRUE(path.DeleteFile(dir.File("b/c")));
  EXPECT_FALSE(path.DeleteFile(dir.File("d")));  // a directory is not a log file
  EXPECT_TRUE(fs::is_directory(dir.File("d")));
  EXPECT_TRUE(path.DeleteFile(dir.File("moved-link")));
  EXPECT_TRUE(fs::is_directory(dir.File("d")));

  std::unique_ptr<File> file = path.NewFile();
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->IsOpen());
}

}  // namespace
}  // namespace HvQorLogging::FileSystem
