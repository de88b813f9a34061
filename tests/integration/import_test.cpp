// Settings import end to end: velder-host starts the import tool named by
// --tool for the file named by --import, once its IPC server is up; the real
// velder-update delivers the file's values as an ordinary client and removes
// the file only when every value was accepted. Also the administrators' reload
// of the late-bound base file through velderctl.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "client/program.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using client_test::Program;
using client_test::Ran;
using client_test::RunVelderctl;
using nlohmann::json;

// The value at `path` as velderctl prints it in JSON, or "" when it fails.
std::string Get(const std::string& path) {
  const Ran ran = RunVelderctl({"--json", "get", path});
  return ran.rc == 0 ? ran.out : "";
}

Ran RunUpdate(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BuildProgram("velder-update")};
  argv.insert(argv.end(), args.begin(), args.end());
  Program p(argv);
  const int rc = p.Wait();
  return {rc, p.out(), p.err()};
}

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

TEST(Import, EveryValueAcceptedIsWrittenAndTheFileRemoved) {
  Sandbox sandbox;
  const fs::path file = sandbox.root() / "import folder" / "settings.json";
  fs::create_directories(file.parent_path());
  testing_support::WriteFile(file, R"({"app.window.width": 800,
    "app": {"title": "Hello", "window": {"visible": true}, "tags": ["a", "b"]},
    "app.limits": {"ratio": 2}})");
  // The host's default tool is the build's velder-update beside it.
  HostProcess host(HostProcess::DefaultArguments(sandbox, {"--import", file.string()}));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  // Initialisation waits for the tool, which has ended by now.
  EXPECT_NE(sandbox.PluginLogText().find("Velder tool finished"), std::string::npos);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_NE(testing_support::ReadFile(sandbox.PluginLog().parent_path() / "VelderUpdate.log")
                .find("Imported 5 values, file removed"),
            std::string::npos);
  EXPECT_EQ(Get("app.window.width"), "800\n");
  EXPECT_EQ(Get("app.window.visible"), "true\n");
  EXPECT_EQ(Get("app.title"), "\"Hello\"\n");
  EXPECT_EQ(Get("app.tags"), "[\"a\",\"b\"]\n");
  EXPECT_EQ(Get("app.limits.ratio"), "2\n");
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Import, ARefusedImportIsSetAsideAndNeverUndoesLaterChanges) {
  Sandbox sandbox;
  const fs::path file = sandbox.root() / "settings.json";
  const fs::path refused = sandbox.root() / "settings.json.refused";
  // "a..b" is no setting path; null no value any hive can store; a string
  // cannot replace the number written just before.
  const std::string text = R"({"ok": {"first": 1}, "a..b": 2, "gone": null, "ok.first": "text", "ok.second": 2})";
  testing_support::WriteFile(file, text);
  const std::vector<std::string> arguments = HostProcess::DefaultArguments(sandbox, {"--import", file.string()});
  {
    HostProcess host(arguments);
    ASSERT_TRUE(host.WaitRunning()) << host.err();
    EXPECT_NE(sandbox.PluginLogText().find("Velder tool finished"), std::string::npos);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(testing_support::ReadFile(refused), text);
    EXPECT_EQ(Get("ok.second"), "2\n");
    // The service's log names every refused path; the tool's own log says why.
    const std::string log = sandbox.PluginLogText();
    for (const char* path : {"a..b", "gone", "ok.first"}) {
      EXPECT_NE(log.find(std::string("Import refused '") + path + "'; the file is kept as '" + refused.string()),
                std::string::npos)
          << path << "\n" << log;
    }
    const std::string tool_log = testing_support::ReadFile(sandbox.PluginLog().parent_path() / "VelderUpdate.log");
    EXPECT_NE(tool_log.find("Refused 'a..b': InvalidParameters"), std::string::npos) << tool_log;
    // A later change survives the next start, which passes the same path.
    EXPECT_EQ(RunVelderctl({"set", "ok.second", "5"}).rc, 0);
    EXPECT_EQ(host.Stop(), 0);
  }
  HostProcess host(arguments);
  ASSERT_TRUE(host.WaitRunning()) << host.err();
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

  // Once the import is corrected it goes through and the file goes.
  testing_support::WriteFile(file, R"({"ok": {"first": 5}})");
  const Ran fixed = RunUpdate({"--import", file.string(), "--remove"});
  EXPECT_EQ(fixed.rc, 0) << fixed.err;
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(Get("ok.first"), "5\n");
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Import, AToolStartedBeforeTheServiceWaitsForIt) {
  Sandbox sandbox;
  const fs::path file = sandbox.root() / "settings.json";
  json document = json::object();
  for (int i = 0; i < 500; ++i) document["bulk"]["item" + std::to_string(i)] = i;
  testing_support::WriteFile(file, document.dump());
  Program tool({BuildProgram("velder-update"), "--import", file.string(), "--remove", "--wait", "30000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(file));
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  EXPECT_EQ(tool.Wait(), 0) << tool.err();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(Get("bulk.item0"), "0\n");
  EXPECT_EQ(Get("bulk.item499"), "499\n");
  EXPECT_EQ(RunVelderctl({"ls", "bulk"}).out.size(), [] {
    size_t size = 0;
    for (int i = 0; i < 500; ++i) size += ("item" + std::to_string(i) + "\tnumber\n").size();
    return size;
  }());
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Import, AFileThatCannotBeRemovedIsReportedAfterTheImport) {
  Sandbox sandbox;
  // An ordinary user may read the file but not remove it from root's folder.
  const fs::path file = sandbox.root() / "settings.json";
  testing_support::WriteFile(file, R"({"mine": {"value": 7}})");
  ::chmod(file.c_str(), 0644);
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  const std::string report = RunAsUser(65534, 65534, [&] {
    const Ran ran = RunUpdate({"--import", file.string(), "--remove"});
    if (ran.rc != 4) return "velder-update exit " + std::to_string(ran.rc) + ": " + ran.err;
    if (ran.err.find("every value was accepted, but") == std::string::npos) return "stderr: " + ran.err;
    const Ran get = RunVelderctl({"get", "mine.value"});
    return get.out == "7\n" ? std::string() : "own setting: " + get.out + get.err;
  });
  EXPECT_EQ(report, "");
  EXPECT_TRUE(fs::exists(file));
  // The user's settings, not root's.
  EXPECT_EQ(Get("mine.value"), "");
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Import, BadFilesAndAnAbsentServiceKeepTheFile) {
  Sandbox sandbox;
  const fs::path file = sandbox.root() / "settings.json";
  const struct {
    std::string text;  // empty: no file at all
    std::vector<std::string> extra;
    int rc;
    std::string err_part;
  } cases[] = {
      {"", {}, 2, "cannot read"},
      {"[1, 2]", {}, 2, "not an object"},
      {"{\"a\": ", {}, 2, "not a JSON document"},
      // No service runs in this sandbox: ask for a short while, then give up.
      {"{\"a\": 1}", {"--wait", "300"}, 3, "cannot reach the settings service"},
      {"{\"a\": 1}", {"--identity", "no such identity!"}, 3, "not a valid identity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " " + c.err_part);
    std::error_code ec;
    fs::remove(file, ec);
    if (!c.text.empty()) testing_support::WriteFile(file, c.text);
    std::vector<std::string> args = {"--import", file.string(), "--remove"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Ran ran = RunUpdate(args);
    EXPECT_EQ(ran.rc, c.rc) << ran.err;
    EXPECT_NE(ran.err.find(c.err_part), std::string::npos) << ran.err;
    EXPECT_EQ(fs::exists(file), !c.text.empty());
  }
  EXPECT_EQ(RunUpdate({"--remove"}).rc, 64);
  const Ran help = RunUpdate({"--help"});
  EXPECT_EQ(help.rc, 0);
  EXPECT_NE(help.out.find("non-empty object is descended into"), std::string::npos) << help.out;
}

// The plug-in quotes the import path on the tool's command line; the tool
// gets it back as one argument, blanks and quotes inside included.
TEST(Import, PlainAndQuotedPathsGiveTheSameCommand) {
  Sandbox sandbox;
  const fs::path tool = RecordingTool(sandbox);
  const fs::path record = sandbox.root() / "record";
  for (const std::string name : {"plain.json", "with blanks.json", "x\"y.json"}) {
    SCOPED_TRACE(name);
    const std::string file = (sandbox.root() / name).string();
    std::error_code ec;
    fs::remove(record, ec);
    HostProcess host(HostProcess::DefaultArguments(sandbox, {"--tool", tool.string(), "--import", file}));
    ASSERT_TRUE(host.WaitRunning()) << host.err();
    EXPECT_EQ(testing_support::ReadFile(record), "--import\n" + file + "\n--remove\n");
    EXPECT_EQ(host.Stop(), 0);
  }
}

TEST(Import, NoImportFileStartsNothing) {
  Sandbox sandbox;
  const fs::path tool = RecordingTool(sandbox);
  HostProcess host(HostProcess::DefaultArguments(sandbox, {"--tool", tool.string()}));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_FALSE(fs::exists(sandbox.root() / "record"));
  const std::string log = sandbox.PluginLogText();
  for (const char* line : {"Velder tool", "update handler", "Failed to run"}) {
    EXPECT_EQ(log.find(line), std::string::npos) << line;
  }
}

TEST(Import, AToolMissingIsLoggedAndTheServiceRuns) {
  Sandbox sandbox;
  const std::string tool = (sandbox.root() / "no-such-tool").string();
  const std::string file = (sandbox.root() / "settings.json").string();
  testing_support::WriteFile(file, "{\"a\": 1}");
  HostProcess host(HostProcess::DefaultArguments(sandbox, {"--tool", tool, "--import", file}));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  EXPECT_NE(sandbox.PluginLogText().find("Failed to run '" + tool + "': "), std::string::npos);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(RunVelderctl({"set", "b", "1"}).rc, 0);
  EXPECT_EQ(host.Stop(), 0);
}

TEST(Import, AToolRunningPastTenSecondsIsLeftRunningAndReaped) {
  Sandbox sandbox;
  const fs::path tool = RecordingTool(sandbox, 13);
  const fs::path record = sandbox.root() / "record";
  HostProcess host(HostProcess::DefaultArguments(
      sandbox, {"--tool", tool.string(), "--import", (sandbox.root() / "x.json").string()}));
  ASSERT_TRUE(host.WaitRunning(std::chrono::seconds(40))) << host.err();
  EXPECT_NE(sandbox.PluginLogText().find("Velder tool is detaching"), std::string::npos);
  EXPECT_EQ(sandbox.PluginLogText().find("Velder tool finished"), std::string::npos);
  const pid_t pid = std::stoi(testing_support::ReadFile(fs::path(record.string() + ".pid")));
  // Still running, and the service answers meanwhile.
  EXPECT_EQ(::kill(pid, 0), 0);
  EXPECT_FALSE(fs::exists(record.string() + ".done"));
  EXPECT_EQ(RunVelderctl({"set", "b", "1"}).rc, 0);
  // It ends on its own and is reaped by the host: no zombie stays behind.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(record.string() + ".done"); }, std::chrono::seconds(20)));
  EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
  EXPECT_EQ(host.Stop(), 0);
}

TEST(ReloadBase, AnAdministratorReloadsTheLateboundFileOthersAreRefused) {
  Sandbox sandbox;
  sandbox.WriteLateboundBase("first");
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  EXPECT_EQ(Get("greeting"), "\"first\"\n");
  // The worker's first pass reads the file too; change it only afterwards.
  ASSERT_TRUE(WaitFor([&] {
    return sandbox.PluginLogText().find("SettingsManager::UpdateSystemBaseFile: path=") != std::string::npos;
  }));
  sandbox.WriteLateboundBase("second");
  const std::string refused = RunAsUser(65534, 65534, [] {
    const Ran ran = RunVelderctl({"reload-base"});
    return ran.rc == 76 ? std::string() : "reload-base exit " + std::to_string(ran.rc) + ": " + ran.err;
  });
  EXPECT_EQ(refused, "");
  EXPECT_EQ(Get("greeting"), "\"first\"\n");
  const Ran ran = RunVelderctl({"reload-base"});
  EXPECT_EQ(ran.rc, 0) << ran.err;
  EXPECT_EQ(Get("greeting"), "\"second\"\n");
  EXPECT_EQ(host.Stop(), 0);
}

// A new schema that turns a plain setting into an object drops the old plain
// value from the local changes, so that the settings below it can be written.
TEST(ReloadBase, AValueTheNewSchemaNoLongerFitsIsDropped) {
  Sandbox sandbox;
  const fs::path base = sandbox.root() / "latebound" / "100" / "settings" / "tarn.velder";
  auto write_base = [&](const json& schema) {
    fs::create_directories(base.parent_path());
    testing_support::WriteFile(base, json({{"data", {{"eff_schema", schema}, {"values", json::object()}}}}).dump());
  };
  const json keep = {{"type", "string"}, {"default", ""}};
  write_base({{"grp", {{"type", "number"}, {"default", 0}}}, {"keep", keep}});
  sandbox.SetString("SOFTWARE\\Halvern\\NS\\velder\\Latebound", "LateboundPath",
                    (sandbox.root() / "latebound").string());
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  ASSERT_TRUE(WaitFor([&] {
    return sandbox.PluginLogText().find("SettingsManager::UpdateSystemBaseFile: path=") != std::string::npos;
  }));
  ASSERT_EQ(RunVelderctl({"set", "grp", "5"}).rc, 0);
  ASSERT_EQ(RunVelderctl({"set", "keep", "x"}).rc, 0);
  write_base({{"grp", {{"type", "object"}, {"properties", {{"b", {{"type", "number"}, {"default", 0}}}}}}},
              {"keep", keep}});
  const Ran reload = RunVelderctl({"reload-base"});
  ASSERT_EQ(reload.rc, 0) << reload.err;
  const Ran set = RunVelderctl({"set", "grp.b", "1"});
  EXPECT_EQ(set.rc, 0) << set.err;
  const Ran got = RunVelderctl({"--json", "get", "grp"});
  EXPECT_EQ(got.out, "{\"b\":1}\n") << got.err;
  EXPECT_EQ(Get("keep"), "\"x\"\n");
  EXPECT_NE(sandbox.PluginLogText().find("Dropped local value of 'grp' in hive 'S-1-5-18': 5"), std::string::npos);
  EXPECT_EQ(host.Stop(), 0);
  const json local = json::parse(testing_support::ReadFile(sandbox.HiveFile("S-1-5-18")));
  EXPECT_EQ(local.at("patch"), json::parse(R"({"grp": {"b": 1}, "keep": "x"})"));
}

}  // namespace
}  // namespace integration
