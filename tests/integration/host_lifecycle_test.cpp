// velder-host from start to stop: defaults and the service manager's notices,
// command-line mistakes, start failures, signals, one service per identity and
// data folder, and the plug-in library loaded and unloaded in a loop. (Writes
// that must survive a stop or a kill are the crash rounds' test; the import
// tool and the late-bound base file are the import test's.)
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "envelope_client.h"
#include "plugin_host.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

TEST(HostLifecycle, BareCommandLineRunsFromTheBuildTreeAndTellsTheServiceManager) {
  Sandbox sandbox;
  const std::string socket_path = (sandbox.root() / "notify").string();
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = ipc_test::UnixAddress(socket_path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto receive = [fd] {
    pollfd p{fd, POLLIN, 0};
    char buffer[256];
    const ssize_t r = ::poll(&p, 1, 10000) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
    return r > 0 ? std::string(buffer, static_cast<size_t>(r)) : std::string("(nothing)");
  };
  // A build tree of the sandbox's own (the program copied, the libraries
  // linked): the real one's data folder may be in use by a developer's
  // scripts/run. Only the build tree tells it where the libraries are.
  const fs::path tree = sandbox.root() / "tree";
  fs::create_directories(tree / "bin");
  fs::copy_file(BuildProgram("velder-host"), tree / "bin" / "velder-host");
  fs::create_directory_symlink(BuildDir() / "lib", tree / "lib");
  HostProcess host({(tree / "bin" / "velder-host").string()}, {"HALVERN_LIB_DIR", "NOTIFY_SOCKET=" + socket_path});
  EXPECT_EQ(receive(), "READY=1");
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  const fs::path data = tree / "var" / kIdentity;
  EXPECT_NE(host.out().find(data.string()), std::string::npos) << host.out();
  EXPECT_TRUE(fs::is_directory(data));
  EXPECT_EQ(EnvelopeClient::Connect()->Get("").status, HV_IPC_OK);
  host.Signal(SIGTERM);
  EXPECT_EQ(receive(), "STOPPING=1");
  EXPECT_EQ(host.Wait(), 0) << host.err();
  ::close(fd);
}

TEST(HostLifecycle, CommandLineFolderAndLibraryMistakesAreReported) {
  Sandbox sandbox;
  testing_support::TempDir empty;
  testing_support::WriteFile(sandbox.root() / "plain-file", "x");
  const std::string not_a_plugin = (BuildDir() / "lib" / "libhv_qor_ipc.so").string();
  const struct {
    std::vector<std::string> arguments;
    int exit_code;
    std::string message;
    std::vector<std::string> environment;
  } cases[] = {
      {{"--bogus"}, 2, "--bogus", {}},
      {{"--identity", "../escape"}, 2, "identity", {}},
      {{"--plugin", "/nonexistent/libvelder_plugin.so"}, 1, "cannot load the plug-in", {}},
      {{"--plugin", not_a_plugin}, 1, "does not export HosterPluginCreateContext", {}},
      {{"--data", (sandbox.root() / "plain-file").string()}, 1, "is not a folder", {}},
      {{}, 1, "the plug-in did not start", {"HALVERN_LIB_DIR=" + empty.path().string()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    // A data folder of its own: the build tree's belongs to another test.
    std::vector<std::string> arguments = {BuildProgram("velder-host")};
    if (c.arguments.empty() || c.arguments.front() != "--data") {
      arguments.insert(arguments.end(), {"--data", sandbox.data().string()});
    }
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    HostProcess host(arguments, c.environment);
    EXPECT_EQ(host.Wait(), c.exit_code);
    EXPECT_NE(host.err().find(c.message), std::string::npos) << host.err();
  }
  // Without the IPC library nothing was served.
  EXPECT_FALSE(fs::exists(sandbox.socket()));
  HostProcess help({BuildProgram("velder-host"), "--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.out().find("--identity"), std::string::npos);
}

using RunningHost = ServiceTest;

TEST_F(RunningHost, OneServicePerIdentityAndPerDataFolder) {
  testing_support::TempDir other_data;
  HostProcess same_identity({BuildProgram("velder-host"), "--data", (other_data.path() / "d").string()});
  EXPECT_EQ(same_identity.Wait(), 1);
  EXPECT_NE(sandbox_.PluginLogText().find("Failed to start IPC server"), std::string::npos);
  HostProcess same_data(HostProcess::DefaultArguments(sandbox_, {"--identity", "other"}));
  EXPECT_EQ(same_data.Wait(), 1);
  EXPECT_NE(same_data.err().find("in use by another velder-host"), std::string::npos) << same_data.err();
  EXPECT_EQ(EnvelopeClient::Connect()->Set("app.alive", true).result(), 0u);
}

TEST_F(RunningHost, SighupWakesTheUpdateLoopAndTheServiceGoesOn) {
  const std::string wait_line = "SettingsManager::GetNextWait: Wait";
  // Let the start settle: the count of update waits stays put.
  size_t before = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const size_t now = CountOf(sandbox_.PluginLogText(), wait_line);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        before = CountOf(sandbox_.PluginLogText(), wait_line);
        return now == before && before > 0;
      },
      std::chrono::seconds(20)));
  for (int round = 1; round <= 3; ++round) {
    host_->Signal(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return CountOf(sandbox_.PluginLogText(), wait_line) >= before + round; }))
        << "SIGHUP " << round;
  }
  EXPECT_EQ(EnvelopeClient::Connect()->Set("app.after_hup", 1).result(), 0u);
}

// The plug-in library as the host sees it: loaded, run, stopped and unloaded
// again and again in one process without leaving a thread or a callback behind.
std::string PluginLibrary() { return (BuildDir() / "lib" / "libvelder_plugin.so").string(); }

size_t ThreadCount() {
  const fs::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(fs::begin(tasks), fs::end(tasks)));
}

TEST(PluginLibrary, LoadsRunsAndUnloadsAgainAndAgain) {
  Sandbox sandbox;
  // The maker libraries stay loaded once the plug-in has loaded them, with
  // whatever threads of their own they keep (the push library's delivery
  // thread): the count after the first round is the one every later round
  // must return to.
  size_t threads_before = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    host::PluginHost plugin_host(kIdentity, {{"DataPath", sandbox.data().string()}});
    std::string error;
    ASSERT_TRUE(plugin_host.Load(PluginLibrary(), error)) << error;
    ASSERT_EQ(plugin_host.Initialize(), 0u);
    std::thread run([&] { EXPECT_EQ(plugin_host.Run(), 0u); });
    {
      auto client = EnvelopeClient::Connect();
      ASSERT_NE(client, nullptr);
      ASSERT_EQ(client->Subscribe("rounds").result(), 0u);
      if (round > 0) {
        EXPECT_EQ(client->Get("rounds.count").value(), json(round - 1));
      }
      EXPECT_EQ(client->Set("rounds.count", round).result(), 0u);
    }
    // Events may come at any time, also while stopping.
    plugin_host.RaiseEvent(2, 18, nullptr);
    plugin_host.RequestStop();
    run.join();
    plugin_host.RaiseEvent(2, 18, nullptr);
    plugin_host.Uninitialize();
    plugin_host.Unload();
    plugin_host.RaiseEvent(2, 18, nullptr);
    plugin_host.RequestStop();
    if (round == 0) threads_before = ThreadCount();
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads_before; }))
        << ThreadCount() << " threads, " << threads_before << " after the first round";
  }
}

TEST(PluginLibrary, AStopAskedForBeforeTheStartEndsTheRunAtOnce) {
  Sandbox sandbox;
  host::PluginHost plugin_host(kIdentity, {{"DataPath", sandbox.data().string()}});
  std::string error;
  ASSERT_TRUE(plugin_host.Load(PluginLibrary(), error)) << error;
  // A SIGTERM that arrives while the plug-in starts: it clears its stop event
  // on the way, so the host passes the request on again afterwards.
  plugin_host.RequestStop();
  ASSERT_EQ(plugin_host.Initialize(), 0u);
  EXPECT_EQ(plugin_host.Run(), 0u);
  plugin_host.Uninitialize();
  plugin_host.Unload();
}

}  // namespace
}  // namespace integration
