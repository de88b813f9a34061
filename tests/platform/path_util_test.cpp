#include "platform/path_util.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

TEST(PathUtil, JoinPath) {
  struct Case {
    const char* a;
    const char* b;
    const char* joined;
  };
  for (const Case& c : {
           Case{"/a/", "b", "/a/b"},
           Case{"/a", "b", "/a/b"},
           Case{"/a/", "", "/a"},
           Case{"/a//", "", "/a/"},  // only one separator goes
           Case{"", "b", "b"},
           Case{"", "", ""},
           Case{"/", "b", "/b"},
           Case{"/", "", "/"},  // the root stays the root
           Case{"a", "b/c", "a/b/c"},
           Case{"a\\", "b", "a\\/b"},  // a backslash is an ordinary character here
       }) {
    SCOPED_TRACE(std::string(c.a) + " + " + c.b);
    EXPECT_EQ(JoinPath(c.a, c.b), c.joined);
  }
  EXPECT_EQ(RemoveTrailingBackslash("/a//"), "/a/");
  EXPECT_EQ(RemoveTrailingBackslash("/"), "/");
  EXPECT_EQ(RemoveTrailingBackslash(""), "");
}

TEST(PathUtil, IsRegularFileOnlyForRegularFiles) {
  TempDir dir;
  const std::string file = dir.File("file");
  testing_support::WriteFile(file, "x");
  std::filesystem::create_directory(dir.path() / "dir");
  std::filesystem::create_symlink(file, dir.path() / "link-to-file");
  std::filesystem::create_symlink(dir.path() / "dir", dir.path() / "link-to-dir");
  std::filesystem::create_symlink(dir.path() / "gone", dir.path() / "dangling");
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);

  struct Case {
    std::string path;
    bool regular;
  };
  for (const Case& c : {Case{file, true}, Case{dir.File("link-to-file"), true}, Case{dir.File("dir"), false},
                        Case{dir.File("dir") + "/", false}, Case{dir.File("link-to-dir"), false},
                        Case{dir.File("dangling"), false}, Case{dir.File("missing"), false},
                        Case{dir.File("fifo"), false}, Case{"/dev/null", false}, Case{"", false},
                        Case{file + "/", false}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsRegularFile(c.path), c.regular);
  }
}

TEST(PathUtil, SplitCommandLine) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  for (const Case& c : {
           Case{"", {}},
           Case{"   \t ", {}},
           Case{"a", {"a"}},
           Case{"  a \t b  ", {"a", "b"}},
           Case{"--import \"/tmp/my file.json\" --remove", {"--import", "/tmp/my file.json", "--remove"}},
           Case{"\"\"", {""}},
           Case{"a \"\" b", {"a", "", "b"}},
           Case{"\"\"\"", {"\""}},
           Case{"\"a\"b\"", {"a\"b"}},  // a quote not followed by a blank does not close
           Case{"x\"y z\"", {"x\"y", "z\""}},  // quotes group only at the start of an argument
           Case{"\"a\\\" b", {"a\\", "b"}},  // no escape characters
           Case{"\"tab\there\"", {"tab\there"}},
       }) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> args{"stale"};
    EXPECT_TRUE(SplitCommandLine(c.line, args));
    EXPECT_EQ(args, c.args);
  }
  // Unclosed quotes are refused, and leave no arguments behind.
  for (const char* line : {"\"", "\"abc", "--import \"/tmp/x", "a \"b\"c", "\"a\"\"b"}) {
    SCOPED_TRACE(line);
    std::vector<std::string> args{"stale"};
    EXPECT_FALSE(SplitCommandLine(line, args));
    EXPECT_TRUE(args.empty());
  }
}

TEST(PathUtil, QuotedTextsSplitBackIntoThemselves) {
  for (std::string text : {"/tmp/a b", "", "\"", "x\"y", "a\"", "\"a", "100%", "tab\tin", "\\", "ünïcode path"}) {
    SCOPED_TRACE(text);
    std::vector<std::string> args;
    ASSERT_TRUE(SplitCommandLine("--import " + QuoteIfNeeded(text) + " --remove", args));
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1], text);
  }
}

int FunctionInsideTheExecutable() { return 42; }

TEST(PathUtil, GetModulePath) {
  const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  EXPECT_EQ(GetModulePath(), exe);
  EXPECT_EQ(GetModulePath(reinterpret_cast<const void*>(&FunctionInsideTheExecutable)), exe);

  // A shared library: the file it was mapped from, as an absolute path.
  const void* in_libc = reinterpret_cast<const void*>(&std::fopen);
  Dl_info info{};
  ASSERT_NE(::dladdr(in_libc, &info), 0);
  const std::string libc = GetModulePath(in_libc);
  ASSERT_TRUE(libc.starts_with('/')) << libc;
  EXPECT_EQ(std::filesystem::canonical(libc), std::filesystem::canonical(info.dli_fname));

  // Addresses outside any file: heap and stack.
  auto heap = std::make_unique<char[]>(1 << 20);
  int on_stack = 0;
  EXPECT_EQ(GetModulePath(heap.get()), "");
  EXPECT_EQ(GetModulePath(&on_stack), "");
}

}  // namespace
