#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "logging/file_system_file.h"
#include "logging/file_system_path.h"
#include "support/forked_child.h"
#include "support/temp_dir.h"

namespace HvQorLogging::FileSystem {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const Permissions kExact{0755, 0644, true};
const Permissions kUmasked{0755, 0644, false};

using testing_support::ModeOf;

TEST(File, RefusesWhatMustNotBeWritten) {
  TempDir dir;
  const std::string victim = dir.File("victim");
  WriteFile(victim, "precious");
  ASSERT_EQ(::link(victim.c_str(), dir.File("hard.log").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.File("fifo.log").c_str(), 0600), 0);  // opening must not block
  const std::pair<const char*, int> cases[] = {{"hard.log", EMLINK}, {"fifo.log", EINVAL}, {"no/dir.log", ENOENT}};
  for (const auto& [name, error] : cases) {
    SCOPED_TRACE(name);
    File file;
    EXPECT_FALSE(file.Open(dir.File(name), kExact));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.last_error(), error);
  }
  EXPECT_EQ(ReadFile(victim), "precious");
}

TEST(File, OnlyAWholeUtf16MarkMeansAnOlderFormat) {
  TempDir dir;
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {"\xff", true}, {"\xfe\xff", true}, {"\xff\xfe", false}, {"plain text", true}};
  for (const auto& [content, narrow] : cases) {
    SCOPED_TRACE(content.size());
    WriteFile(dir.File("mark.log"), content);
    File file;
    ASSERT_TRUE(file.Open(dir.File("mark.log"), kExact));
    EXPECT_EQ(file.IsNarrow(), narrow);
  }
}

// A disk that refuses part of a line: the file is cut back to where the line
// began, so the next writer does not continue a torn line.
TEST(File, FailedAppendLeavesNoPartialLine) {
  TempDir dir;
  const std::string path = dir.File("full.log");
  EXPECT_EQ(testing_support::RunInChild([&] {
              ::signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{100, 100};
              ::setrlimit(RLIMIT_FSIZE, &limit);
              File file;
              const std::string line(60, 'a');
              if (!file.Open(path, kExact) || !file.Append(line.data(), line.size())) return 10;
              if (file.Append(line.data(), line.size())) return 12;  // only 40 bytes fit
              return file.SeekEnd() == 60 ? 0 : 13;
            }),
            0);
  EXPECT_EQ(ReadFile(path), std::string(60, 'a'));
}

TEST(Path, CreateDirectoriesReplacesPlantedLinks) {
  TempDir dir;
  const mode_t old_mask = ::umask(077);
  Path path;
  const std::string root = dir.File("root"), elsewhere = dir.File("elsewhere");
  const std::string target = root + "/Halvern/NS/id/Log/QOR";
  fs::create_directory(root);
  fs::create_directory(elsewhere);
  // Links planted at the first level, at the last one, and a dangling one in the middle; `mode` is
  // the target's: without exact modes the umask applies.
  const struct { std::string link, to; Permissions permissions; mode_t mode; } cases[] = {
      {root + "/Halvern", elsewhere, kExact, 0755},
      {target, elsewhere, kExact, 0755},
      {root + "/Halvern/NS/id/Log", dir.File("missing"), kUmasked, 0700}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    fs::remove_all(target);
    fs::remove(c.link);
    ASSERT_EQ(::symlink(c.to.c_str(), c.link.c_str()), 0);
    ASSERT_TRUE(path.CreateDirectories(target, root.size() + 1, c.permissions));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(c.link)));
    EXPECT_EQ(ModeOf(target), c.mode);
  }
  EXPECT_FALSE(fs::exists(dir.File("missing")));
  EXPECT_TRUE(fs::is_empty(elsewhere));
  ::umask(old_mask);
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
  // A regular file where a directory should be is not removed.
  WriteFile(real_root + "/Halvern/File", "keep");
  EXPECT_FALSE(path.CreateDirectories(root + "/Halvern/File", root.size() + 1, kExact));
  EXPECT_EQ(ReadFile(real_root + "/Halvern/File"), "keep");
  // A missing root is not created.
  EXPECT_FALSE(path.CreateDirectories(dir.File("absent") + "/Halvern", dir.File("absent").size() + 1, kExact));
  EXPECT_FALSE(fs::exists(dir.File("absent")));
}

}  // namespace
}  // namespace HvQorLogging::FileSystem
