#include "host_options.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace host {
namespace {

DefaultSources BuildTree() {
  DefaultSources sources;
  sources.executable_dir = "/nonexistent/build/bin";
  sources.installed_plugin = "/usr/lib/halvern/libvelder_plugin.so";
  sources.is_root = true;
  return sources;
}

ParseOutcome Parse(std::vector<std::string> args, HostOptions& options, std::string& message) {
  args.insert(args.begin(), "velder-host");
  return ParseHostOptions(args, BuildTree(), options, message);
}

TEST(HostOptions, AQuotedImportPathIsTheSameFile) {
  HostOptions plain, quoted;
  std::string message;
  ASSERT_EQ(Parse({"--data", "/srv/data", "--import", "/srv/in/settings file.json"}, plain, message),
            ParseOutcome::kRun)
      << message;
  ASSERT_EQ(Parse({"--data", "/srv/data", "--import", "\"/srv/in/settings file.json\""}, quoted, message),
            ParseOutcome::kRun)
      << message;
  EXPECT_EQ(plain.import, "/srv/in/settings file.json");
  EXPECT_EQ(quoted.import, plain.import);
}

TEST(HostOptions, DefaultsOutsideABuildTreeUseTheInstallation) {
  const HostOptions options = DefaultHostOptions("velder", BuildTree());
  EXPECT_EQ(options.plugin, "/usr/lib/halvern/libvelder_plugin.so");
  EXPECT_EQ(options.data, "/var/lib/halvern/velder");
  EXPECT_EQ(options.tool, "/nonexistent/build/bin/velder-update");
  EXPECT_TRUE(options.library_dir.empty());
}

TEST(HostOptions, AnInstalledTreeMovedElsewhereUsesItsOwnLibraries) {
  testing_support::TempDir dir;
  DefaultSources sources = BuildTree();
  sources.executable_dir = dir.File("usr/bin");
  sources.relocated_plugin = dir.File("usr/lib/halvern/libvelder_plugin.so");
  // Not there (yet): the folder fixed at build time.
  EXPECT_EQ(DefaultHostOptions("velder", sources).plugin, sources.installed_plugin);

  std::filesystem::create_directories(dir.path() / "usr/lib/halvern");
  testing_support::WriteFile(sources.relocated_plugin, "");
  HostOptions options = DefaultHostOptions("velder", sources);
  EXPECT_EQ(options.plugin, sources.relocated_plugin);
  EXPECT_EQ(options.library_dir, dir.File("usr/lib/halvern"));
  // An explicit $HALVERN_LIB_DIR stays in force.
  sources.library_dir_variable = "/elsewhere";
  EXPECT_TRUE(DefaultHostOptions("velder", sources).library_dir.empty());
}

TEST(HostOptions, IdentitiesThatCannotNameASocketAreRefused) {
  for (const std::string& bad : std::vector<std::string>{"", ".hidden", "a/b", "with space", std::string(65, 'a')}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(IsValidIdentity(bad));
  }
  EXPECT_TRUE(IsValidIdentity("kv_default-2.1"));
  EXPECT_TRUE(IsValidIdentity(std::string(64, 'a')));
}

}  // namespace
}  // namespace host
