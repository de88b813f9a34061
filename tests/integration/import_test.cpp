// Settings import end to end: velder-host starts the import tool named by
// --tool for the file named by --import, once its IPC server is up; the real
// velder-update delivers the file's values as an ordinary client and removes
// the file only when every value was accepted. Also the late-bound base file:
// copied at the start, reloaded by administrators through velderctl.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "service_sandbox.h"

namespace integration {
namespace {

using client_test::RunVelderctl;
using nlohmann::json;

// The value at `path` as velderctl prints it in JSON, or "" when it fails.
std::string Get(const std::string& path) {
  const Ran ran = RunVelderctl({"--json", "get", path});
  return ran.rc == 0 ? ran.out : "";
}

Ran RunUpdate(const std::vector<std::string>& args) { return RunProgram("velder-update", args); }

using Import = HostStartedByTest;

// A shell-script tool that records its arguments, one a line, and its
// process id, then sleeps `seconds` before it writes "done".
fs::path RecordingTool(const Sandbox& sandbox, int seconds = 0) {
  const fs::path tool = sandbox.root() / "recording-tool";
  const std::string record = (sandbox.root() / "record").string();
  testing_support::WriteFile(tool, "#!/bin/sh\necho $$ > '" + record + ".pid'\nprintf '%s\\n' \"$@\" > '" + record +
                                       "'\nsleep " + std::to_string(seconds) + "\necho done > '" + record +
                                       ".done'\n");
  ::chmod(tool.c_str(), 0755);
  return tool;
}

TEST_F(Import, ARefusedImportIsSetAsideAndNeverUndoesLaterChanges) {
  const fs::path file = sandbox_.root() / "settings.json";
  const fs::path refused = sandbox_.root() / "settings.json.refused";
  // "a..b" is no setting path; null no value any hive can store; a string
  // cannot replace the number written just before.
  const std::string text = R"({"ok": {"first": 1}, "a..b": 2, "gone": null, "ok.first": "text", "ok.second": 2})";
  testing_support::WriteFile(file, text);
  {
    StartHost({"--import", file.string()});
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(testing_support::ReadFile(refused), text);
    EXPECT_EQ(Get("ok.second"), "2\n");
    // The service's log names every refused path; the tool's own log says why.
    const std::string log = sandbox_.PluginLogText();
    for (const char* path : {"a..b", "gone", "ok.first"}) {
      EXPECT_NE(log.find(std::string("Import refused '") + path + "'; the file is kept as '" + refused.string()),
                std::string::npos)
          << path << "\n" << log;
    }
    const std::string tool_log = testing_support::ReadFile(sandbox_.PluginLog().parent_path() / "VelderUpdate.log");
    EXPECT_NE(tool_log.find("Refused 'a..b': InvalidParameters"), std::string::npos) << tool_log;
    // A later change survives the next start, which passes the same path.
    EXPECT_EQ(RunVelderctl({"set", "ok.second", "5"}).rc, 0);
    StopHost();
  }
  StartHost({"--import", file.string()});
  EXPECT_EQ(Get("ok.second"), "5\n");
  // By hand the tool says why; without --remove the file stays in place.
  testing_support::WriteFile(file, text);
  const Ran ran = RunUpdate({"--import", file.string()});
  EXPECT_EQ(ran.rc, 1) << ran.err;
  for (const char* why : {"a..b: InvalidParameters", "gone: InvalidArgument", "ok.first: InvalidType",
                          "3 of 5 values refused"}) {
    EXPECT_NE(ran.err.find(why), std::string::npos) << ran.err;
  }
  EXPECT_EQ(testing_support::ReadFile(file), text);
}

// Many values, from a tool that waits for a service not there yet (nested
// names and arrays: ImportDocument.FlatAndNestedMembersGiveLeafWritesInFileOrder).
TEST_F(Import, AToolStartedBeforeTheServiceWaitsForItAndWritesEveryValue) {
  const fs::path file = sandbox_.root() / "import folder" / "settings.json";
  fs::create_directories(file.parent_path());
  json document;
  for (int i = 0; i < 500; ++i) document["bulk"]["item" + std::to_string(i)] = i;
  testing_support::WriteFile(file, document.dump());
  testing_support::ChildProcess tool(
      {BuildProgram("velder-update"), "--import", file.string(), "--remove", "--wait", "30000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(file));
  StartHost();
  EXPECT_EQ(tool.Wait(), 0) << tool.err();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(Get("bulk.item499"), "499\n");
  EXPECT_EQ(CountOf(RunVelderctl({"ls", "bulk"}).out, "\tnumber\n"), 500u);
}

TEST_F(Import, AFileThatCannotBeRemovedIsReportedAfterTheImport) {
  // An ordinary user may read the file but not remove it from root's folder.
  const fs::path file = sandbox_.root() / "settings.json";
  testing_support::WriteFile(file, R"({"mine": {"value": 7}})");
  ::chmod(file.c_str(), 0644);
  StartHost();
  EXPECT_EQ(RunAsNobody([&] {
              const Ran ran = RunUpdate({"--import", file.string(), "--remove"});
              if (ran.rc != 4) return "velder-update exit " + std::to_string(ran.rc) + ": " + ran.err;
              if (ran.err.find("every value was accepted, but") == std::string::npos) return "stderr: " + ran.err;
              const Ran get = RunVelderctl({"get", "mine.value"});
              return get.out == "7\n" ? std::string() : "own setting: " + get.out + get.err;
            }),
            "");
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(Get("mine.value"), "");  // the user's settings, not root's
}

// What the file holds is the import document's unit test; here the tool's
// exit codes, and that a file it could not deliver is kept.
TEST_F(Import, BadFilesAndAnAbsentServiceKeepTheFile) {
  const fs::path file = sandbox_.root() / "settings.json";
  const struct {
    std::string text;
    std::string option, argument;
    int rc;
    std::string err_part;
  } cases[] = {
      {"[1, 2]", "--wait", "300", 2, "not an object"},
      // No service runs in this sandbox: ask for a short while, then give up.
      {"{\"a\": 1}", "--wait", "300", 3, "cannot reach the settings service"},
      {"{\"a\": 1}", "--identity", "no such identity!", 3, "not a valid identity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err_part);
    testing_support::WriteFile(file, c.text);
    const Ran ran = RunUpdate({"--import", file.string(), "--remove", c.option, c.argument});
    EXPECT_EQ(ran.rc, c.rc) << ran.err;
    EXPECT_NE(ran.err.find(c.err_part), std::string::npos) << ran.err;
    EXPECT_TRUE(fs::exists(file));
  }
  EXPECT_EQ(RunUpdate({"--remove"}).rc, 64);
  EXPECT_EQ(RunUpdate({"--help"}).rc, 0);
}

// The plug-in quotes the import path on the tool's command line; the tool
// gets it back as one argument, blanks and quotes inside included. Without an
// import file no tool is started at all.
TEST_F(Import, PlainAndQuotedPathsGiveTheSameCommandNoFileNoCommandAndNoToolAnError) {
  const fs::path tool = RecordingTool(sandbox_);
  const fs::path record = sandbox_.root() / "record";
  for (const std::string name : {"plain.json", "with blanks.json", "x\"y.json", ""}) {
    SCOPED_TRACE(name);
    const std::string file = (sandbox_.root() / name).string();
    fs::remove(record);
    StartHost(name.empty() ? std::vector<std::string>{"--tool", tool.string()}
                           : std::vector<std::string>{"--tool", tool.string(), "--import", file});
    StopHost();
    EXPECT_EQ(testing_support::ReadFile(record), name.empty() ? "" : "--import\n" + file + "\n--remove\n");
  }
  EXPECT_EQ(CountOf(sandbox_.PluginLogText(), "Velder tool finished"), 3u);

  // A tool that is missing is logged, the file kept, and the service runs.
  const std::string missing = (sandbox_.root() / "no-such-tool").string(), file = (sandbox_.root() / "a.json").string();
  testing_support::WriteFile(file, "{\"a\": 1}");
  StartHost({"--tool", missing, "--import", file});
  EXPECT_NE(sandbox_.PluginLogText().find("Failed to run '" + missing + "': "), std::string::npos);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(RunVelderctl({"set", "b", "1"}).rc, 0);
}

TEST_F(Import, AToolRunningPastTenSecondsIsLeftRunningAndReaped) {
  const fs::path tool = RecordingTool(sandbox_, 13);
  const std::string record = (sandbox_.root() / "record").string();
  StartHost({"--tool", tool.string(), "--import", (sandbox_.root() / "x.json").string()});
  EXPECT_NE(sandbox_.PluginLogText().find("Velder tool is detaching"), std::string::npos);
  const pid_t pid = std::stoi(testing_support::ReadFile(record + ".pid"));
  // Still running, and the service answers meanwhile.
  EXPECT_EQ(::kill(pid, 0), 0);
  EXPECT_FALSE(fs::exists(record + ".done"));
  EXPECT_EQ(RunVelderctl({"set", "b", "1"}).rc, 0);
  // It ends on its own and is reaped by the host: no zombie stays behind.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record + ".done"); }, std::chrono::seconds(20)));
  EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
}

TEST_F(Import, LateboundBaseIsCopiedAtTheStartReloadedByAnAdministratorAndDropsWhatNoLongerFits) {
  sandbox_.WriteLateboundBase("first");
  StartHost();
  EXPECT_TRUE(fs::exists(sandbox_.HiveFile("S-1-5-18", "base")));
  EXPECT_EQ(Get("greeting"), "\"first\"\n");
  // The worker's first pass reads the late-bound file too: change it only afterwards.
  ASSERT_TRUE(WaitFor([&] {
    return sandbox_.PluginLogText().find("SettingsManager::UpdateSystemBaseFile: path=") != std::string::npos;
  }));
  sandbox_.WriteLateboundBase("second");
  EXPECT_EQ(Get("greeting"), "\"first\"\n");
  const Ran ran = RunVelderctl({"reload-base"});
  EXPECT_EQ(ran.rc, 0) << ran.err;
  EXPECT_EQ(Get("greeting"), "\"second\"\n");

  // A new schema that turns a plain setting into an object drops the old plain
  // value from the local changes, so that the settings below it can be written.
  const json keep = {{"type", "string"}, {"default", ""}};
  sandbox_.WriteLateboundBase({{"grp", {{"type", "number"}, {"default", 0}}}, {"keep", keep}}, json::object());
  ASSERT_EQ(RunVelderctl({"reload-base"}).rc, 0);
  ASSERT_EQ(RunVelderctl({"set", "grp", "5"}).rc, 0);
  ASSERT_EQ(RunVelderctl({"set", "keep", "x"}).rc, 0);
  sandbox_.WriteLateboundBase(
      {{"grp", {{"type", "object"}, {"properties", {{"b", {{"type", "number"}, {"default", 0}}}}}}}, {"keep", keep}},
      json::object());
  const Ran reload = RunVelderctl({"reload-base"});
  ASSERT_EQ(reload.rc, 0) << reload.err;
  const Ran set = RunVelderctl({"set", "grp.b", "1"});
  EXPECT_EQ(set.rc, 0) << set.err;
  EXPECT_EQ(Get("grp"), "{\"b\":1}\n");
  StopHost();
  const json local = json::parse(testing_support::ReadFile(sandbox_.HiveFile("S-1-5-18")));
  EXPECT_EQ(local.at("patch"), json::parse(R"({"grp": {"b": 1}, "keep": "x"})"));
}

}  // namespace
}  // namespace integration
