#include "platform/path_util.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

TEST(PathUtil, JoinPath) {
  const struct {
    const char *a, *b, *joined;
  } cases[] = {
      {"/a/", "b", "/a/b"}, {"/a", "b", "/a/b"}, {"/a/", "", "/a"},
      {"/a//", "", "/a/"},  // only one separator goes
      {"", "b", "b"},       {"", "", ""},        {"/", "b", "/b"},
      {"/", "", "/"},  // the root stays the root
      {"a\\", "b", "a\\/b"},  // a backslash is an ordinary character here
  };
  for (const auto& c : cases) EXPECT_EQ(JoinPath(c.a, c.b), c.joined) << c.a << " + " << c.b;
}

TEST(PathUtil, IsRegularFileOnlyForRegularFiles) {
  TempDir dir;
  const std::string file = dir.File("file");
  testing_support::WriteFile(file, "x");
  std::filesystem::create_directory(dir.path() / "dir");
  std::filesystem::create_symlink(file, dir.path() / "link-to-file");
  std::filesystem::create_symlink(dir.path() / "gone", dir.path() / "dangling");

  for (const std::string& path : {file, dir.File("link-to-file")}) EXPECT_TRUE(IsRegularFile(path)) << path;
  // Another kind of file (any kind: one stat tells), nothing there, and no name.
  for (const std::string& path : {dir.File("dir"), dir.File("dangling"), std::string()}) {
    EXPECT_FALSE(IsRegularFile(path)) << path;
  }
}

TEST(PathUtil, SplitCommandLine) {
  for (const auto& [line, expected] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"   \t ", {}},
           {"  a \t b  ", {"a", "b"}},
           {"a \"\" b", {"a", "", "b"}},
           {"x\"y z\"", {"x\"y", "z\""}},  // quotes group only at the start of an argument
           {"\"a\\\" b", {"a\\", "b"}},  // no escape characters
       }) {
    SCOPED_TRACE(line);
    std::vector<std::string> args{"stale"};
    EXPECT_TRUE(SplitCommandLine(line, args));
    EXPECT_EQ(args, expected);
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
  // Also the quoted forms: "", """, "x"y" (a quote not followed by a blank does not close).
  for (std::string text : {"/tmp/a b", "", "\"", "x\"y", "a\"", "\"a", "100%", "tab\tin", "\\", "ünïcode path"}) {
    SCOPED_TRACE(text);
    std::vector<std::string> args;
    EXPECT_TRUE(SplitCommandLine("--import " + QuoteIfNeeded(text) + " --remove", args));
    EXPECT_EQ(args, (std::vector<std::string>{"--import", text, "--remove"}));
  }
}

}  // namespace
