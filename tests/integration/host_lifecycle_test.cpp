// velder-host from start to stop: defaults, command-line mistakes, start
// failures, signals, one service per identity and data folder, writes that
// must survive a stop, the late-bound base file and the import tool.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "envelope_client.h"
#include "service_sandbox.h"
#include "support/temp_dir.h"

namespace integration {
namespace {

using nlohmann::json;

size_t CountOccurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

TEST(HostLifecycle, BareCommandLineRunsFromTheBuildTree) {
  Sandbox sandbox;
  // A build tree of the sandbox's own (the program copied, the libraries
  // linked): the real one's data folder may be in use by a developer's
  // scripts/run.
  const fs::path tree = sandbox.root() / "tree";
  fs::create_directories(tree / "bin");
  fs::copy_file(BuildProgram("velder-host"), tree / "bin" / "velder-host");
  fs::create_directory_symlink(BuildDir() / "lib", tree / "lib");
  // Only the build tree tells it where the libraries are.
  HostProcess host({(tree / "bin" / "velder-host").string()}, {"HALVERN_LIB_DIR"});
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  EXPECT_TRUE(fs::exists(sandbox.ipc() / kIdentity / "VELDER_SERVICE"));
  const fs::path data = tree / "var" / kIdentity;
  EXPECT_NE(host.out().find(data.string()), std::string::npos) << host.out();
  EXPECT_TRUE(fs::is_directory(data));

  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Get("").status, HV_IPC_OK);
  client.reset();
  EXPECT_EQ(host.Stop(SIGTERM), 0) << host.err();
  EXPECT_NE(host.out().find("velder-host: stopped"), std::string::npos);
}

TEST(HostLifecycle, CommandLineAndFolderMistakesAreReported) {
  Sandbox sandbox;
  testing_support::WriteFile(sandbox.root() / "plain-file", "x");
  const std::string not_a_plugin = (BuildDir() / "lib" / "libhv_qor_ipc.so").string();
  struct Case {
    std::vector<std::string> arguments;
    int exit_code;
    std::string message;
  } cases[] = {
      {{"--bogus"}, 2, "--bogus"},
      {{"--identity", "../escape"}, 2, "identity"},
      {{"--identity", ""}, 2, "identity"},
      {{"--identity", std::string(65, 'a')}, 2, "identity"},
      {{"--plugin", "/nonexistent/libvelder_plugin.so"}, 1, "cannot load the plug-in"},
      {{"--plugin", not_a_plugin}, 1, "does not export HosterPluginCreateContext"},
      {{"--data", (sandbox.root() / "plain-file").string()}, 1, "is not a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
    // A data folder of its own: the build tree's belongs to another test.
    std::vector<std::string> arguments = {BuildProgram("velder-host")};
    if (c.arguments.front() != "--data") arguments.insert(arguments.end(), {"--data", sandbox.data().string()});
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    HostProcess host(arguments);
    EXPECT_EQ(host.Wait(), c.exit_code);
    EXPECT_NE(host.err().find(c.message), std::string::npos) << host.err();
  }
  HostProcess help({BuildProgram("velder-host"), "--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.out().find("--identity"), std::string::npos);
}

TEST(HostLifecycle, MissingMakerLibraryFailsTheStartWithItsName) {
  Sandbox sandbox;
  testing_support::TempDir empty;
  HostProcess host(HostProcess::DefaultArguments(sandbox), {"HALVERN_LIB_DIR=" + empty.path().string()});
  EXPECT_EQ(host.Wait(), 1);
  EXPECT_NE(host.err().find("the plug-in did not start"), std::string::npos) << host.err();
  EXPECT_NE(sandbox.PluginLogText().find("Failed to delay load 'libhv_qor_ipc.so': 1"), std::string::npos)
      << sandbox.PluginLogText();
  EXPECT_FALSE(fs::exists(sandbox.ipc() / kIdentity / "VELDER_SERVICE"));
}

TEST(HostLifecycle, OneServicePerIdentityAndPerDataFolder) {
  Sandbox sandbox;
  HostProcess first(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(first.WaitRunning()) << first.err();

  testing_support::TempDir other_data;
  HostProcess same_identity({BuildProgram("velder-host"), "--data", (other_data.path() / "d").string()});
  EXPECT_EQ(same_identity.Wait(), 1);
  EXPECT_NE(sandbox.PluginLogText().find("Failed to start IPC server"), std::string::npos);

  HostProcess same_data(HostProcess::DefaultArguments(sandbox, {"--identity", "other"}));
  EXPECT_EQ(same_data.Wait(), 1);
  EXPECT_NE(same_data.err().find("in use by another velder-host"), std::string::npos) << same_data.err();

  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Set("app.alive", true).result(), 0u);
  client.reset();
  EXPECT_EQ(first.Stop(), 0);
}

TEST(HostLifecycle, EveryAcceptedWriteSurvivesAStop) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Sandbox sandbox;
    std::map<std::string, int64_t> accepted;
    {
      HostProcess host(HostProcess::DefaultArguments(sandbox));
      ASSERT_TRUE(host.WaitRunning()) << host.err();
      std::mutex accepted_mutex;
      std::atomic<int> answered{0};
      std::vector<std::thread> writers;
      for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
          auto client = EnvelopeClient::Connect();
          if (client == nullptr) return;
          // Two hives: the system's and a user's; each write a key of its own.
          const std::string user = w % 2 == 0 ? "" : "S-1-22-1-5000";
          for (int i = 0;; ++i) {
            const std::string path = "w" + std::to_string(w) + ".k" + std::to_string(i);
            const Reply reply = client->Set(path, int64_t{i} * 7 + w, user);
            if (reply.status != HV_IPC_OK) return;  // the service has gone
            if (reply.result() == 0) {
              std::lock_guard lock(accepted_mutex);
              accepted[(user.empty() ? "S-1-5-18" : user) + "|" + path] = int64_t{i} * 7 + w;
            }
            ++answered;
          }
        });
      }
      ASSERT_TRUE(WaitFor([&] { return answered.load() >= 400; }));
      EXPECT_EQ(host.Stop(signal), 0) << host.err();
      for (auto& writer : writers) writer.join();
    }
    ASSERT_GE(accepted.size(), 400u);

    HostProcess again(HostProcess::DefaultArguments(sandbox));
    ASSERT_TRUE(again.WaitRunning()) << again.err();
    auto client = EnvelopeClient::Connect();
    ASSERT_NE(client, nullptr);
    size_t missing = 0;
    for (const auto& [key, value] : accepted) {
      const std::string user = key.substr(0, key.find('|'));
      const std::string path = key.substr(key.find('|') + 1);
      const Reply reply = client->Get(path, user);
      if (reply.result() != 0 || reply.value() != json(value)) ++missing;
    }
    EXPECT_EQ(missing, 0u) << "of " << accepted.size() << " accepted writes";
    client.reset();
    EXPECT_EQ(again.Stop(), 0);
  }
}

TEST(HostLifecycle, StartsAgainAfterBeingKilled) {
  Sandbox sandbox;
  {
    HostProcess host(HostProcess::DefaultArguments(sandbox));
    ASSERT_TRUE(host.WaitRunning()) << host.err();
    auto client = EnvelopeClient::Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(client->Set("app.before_kill", 1).result(), 0u);
    client.reset();
    // A stop saves; a kill leaves the socket file and maybe unsaved changes.
    host.Signal(SIGKILL);
    EXPECT_EQ(host.Wait(), 128 + SIGKILL);
  }
  EXPECT_TRUE(fs::exists(sandbox.ipc() / kIdentity / "VELDER_SERVICE"));
  HostProcess again(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(again.WaitRunning()) << again.err();
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Set("app.after_kill", 2).result(), 0u);
  client.reset();
  EXPECT_EQ(again.Stop(), 0);
}

TEST(HostLifecycle, TellsTheServiceManagerWhenReadyAndWhenStopping) {
  Sandbox sandbox;
  const std::string socket_path = (sandbox.root() / "notify").string();
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto receive = [fd] {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return std::string("(nothing)");
    char buffer[256];
    const ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
    return r > 0 ? std::string(buffer, static_cast<size_t>(r)) : std::string("(error)");
  };
  HostProcess host(HostProcess::DefaultArguments(sandbox), {"NOTIFY_SOCKET=" + socket_path});
  EXPECT_EQ(receive(), "READY=1");
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  host.Signal(SIGTERM);
  EXPECT_EQ(receive(), "STOPPING=1");
  EXPECT_EQ(host.Wait(), 0);
  ::close(fd);
}

TEST(HostLifecycle, SighupWakesTheUpdateLoopAndTheServiceGoesOn) {
  Sandbox sandbox;
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  const std::string wait_line = "SettingsManager::GetNextWait: Wait";
  // Let the start settle: the count of update waits stays put.
  size_t before = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const size_t now = CountOccurrences(sandbox.PluginLogText(), wait_line);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        before = CountOccurrences(sandbox.PluginLogText(), wait_line);
        return now == before && before > 0;
      },
      std::chrono::seconds(20)));
  for (int round = 1; round <= 3; ++round) {
    host.Signal(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return CountOccurrences(sandbox.PluginLogText(), wait_line) >= before + round; }))
        << "SIGHUP " << round;
  }
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Set("app.after_hup", 1).result(), 0u);
  client.reset();
  EXPECT_EQ(host.Stop(), 0);
}

TEST(HostLifecycle, LateboundBaseFileIsCopiedAtStartAndReloadedByAnAdministrator) {
  Sandbox sandbox;
  sandbox.WriteLateboundBase("first");

  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  EXPECT_TRUE(fs::exists(sandbox.HiveFile("S-1-5-18", "base")));
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Get("greeting", "S-1-5-18").value(), json("first"));

  // The worker's first pass reads the file too; change it only afterwards.
  ASSERT_TRUE(WaitFor([&] {
    return sandbox.PluginLogText().find("SettingsManager::UpdateSystemBaseFile: path=") != std::string::npos;
  }));
  sandbox.WriteLateboundBase("second");
  // RunAsUser forks: this process must have no client thread then.
  client.reset();
  // Everyone may read the system hive, only an administrator may reload it.
  const std::string refused = RunAsUser(65534, 65534, [] {
    auto user_client = EnvelopeClient::Connect("velder", false);
    if (user_client == nullptr) return std::string("cannot connect");
    const Reply reply = user_client->Raw(HV_IPC_KIND_RELOAD_BASE_FILE, "");
    return reply.status == HV_IPC_NOT_HANDLED ? std::string() : "reload status " + std::to_string(reply.status);
  });
  EXPECT_EQ(refused, "");
  EXPECT_NE(sandbox.PluginLogText().find("Not admin, rejected"), std::string::npos);

  client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Get("greeting", "S-1-5-18").value(), json("first"));
  EXPECT_EQ(client->Raw(HV_IPC_KIND_RELOAD_BASE_FILE, "").status, HV_IPC_OK);
  EXPECT_EQ(client->Get("greeting", "S-1-5-18").value(), json("second"));
  client.reset();
  EXPECT_EQ(host.Stop(), 0);
}

TEST(HostLifecycle, ImportToolRunsOnlyWhenAFileIsGiven) {
  Sandbox sandbox;
  const fs::path record = sandbox.root() / "tool-arguments";
  const fs::path tool = sandbox.root() / "import-tool";
  testing_support::WriteFile(tool, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record.string() + "'\n");
  ::chmod(tool.c_str(), 0755);
  {
    HostProcess host(HostProcess::DefaultArguments(sandbox, {"--tool", tool.string()}));
    ASSERT_TRUE(host.WaitRunning()) << host.err();
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_FALSE(fs::exists(record));
  }
  const std::string import_file = (sandbox.root() / "settings to import.json").string();
  HostProcess host(HostProcess::DefaultArguments(sandbox, {"--tool", tool.string(), "--import", import_file}));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  // Initialisation waits for the tool (up to ten seconds).
  EXPECT_EQ(testing_support::ReadFile(record), "--import\n" + import_file + "\n--remove\n");
  EXPECT_NE(sandbox.PluginLogText().find("Velder tool finished"), std::string::npos);
  EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
}  // namespace integration
