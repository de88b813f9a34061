// The plug-in inside the test process, with a fake host table and the real
// maker libraries of the build: start failures, a second start, the wake
// event, and requests before and during Run. That a stop leaves no thread
// behind is pinned where the real library is loaded and unloaded.
#include "plugin/velder_plugin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "integration/envelope_client.h"
#include "integration/service_sandbox.h"
#include "logging/log.h"
#include "plugin/fake_host.h"

namespace {

using integration::EnvelopeClient;
using integration::Reply;
using integration::Sandbox;
using nlohmann::json;
using plugin_test::FakeHost;

constexpr char kIdentity[] = "plugin-test";

class VelderPluginTest : public ::testing::Test {
 protected:
  VelderPluginTest() {
    host_.identity = kIdentity;
    host_.config["DataPath"] = sandbox_.data().string();
  }
  // The log is process-wide: each test opens its own in its own sandbox.
  ~VelderPluginTest() override { HvQorLogging::LogClose(); }

  std::string Log() { return sandbox_.PluginLogText(kIdentity); }

  Sandbox sandbox_;
  FakeHost host_;
};

TEST_F(VelderPluginTest, StartFailsWithoutAUsableDataFolder) {
  testing_support::WriteFile(sandbox_.root() / "a-file", "x");
  struct Case {
    const char* name;
    std::optional<std::string> data_path;
    const char* logged;  // null: nothing at error level
  } cases[] = {
      {"missing", std::nullopt, nullptr},
      {"empty", "", nullptr},
      {"a file", (sandbox_.root() / "a-file").string(), "is not a directory"},
      {"nowhere", (sandbox_.root() / "none").string(), "is not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(sandbox_.PluginLog(kIdentity));
    HvQorLogging::LogClose();
    host_.config.erase("DataPath");
    if (c.data_path) host_.config["DataPath"] = *c.data_path;
    VelderPlugin plugin;
    plugin.AttachHost(host_.table());
    EXPECT_EQ(plugin.PluginInitialize(), 1u);
    EXPECT_EQ(plugin.manager(), nullptr);
    HvQorLogging::LogFlush();
    const std::string log = Log();
    EXPECT_NE(log.find("Starting..."), std::string::npos);
    if (c.logged == nullptr) {
      EXPECT_EQ(log.find("*E:"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
    EXPECT_FALSE(std::filesystem::exists(sandbox_.ipc() / kIdentity / "VELDER_SERVICE"));
    plugin.PluginUninitialize();
  }
  VelderPlugin never_started;
  EXPECT_EQ(never_started.PluginMain(), 1u);
}

TEST_F(VelderPluginTest, StartingAgainAfterAFailureReplacesWhatTheFirstStartLeft) {
  FakeHost first_host;
  first_host.identity = kIdentity;
  first_host.config["DataPath"] = (sandbox_.root() / "first").string();
  std::filesystem::create_directories(sandbox_.root() / "first");
  VelderPlugin first;
  first.AttachHost(first_host.table());
  ASSERT_EQ(first.PluginInitialize(), 0u);

  // The name is taken: the second start fails late, with its objects made.
  VelderPlugin second;
  second.AttachHost(host_.table());
  EXPECT_EQ(second.PluginInitialize(), 1u);
  EXPECT_NE(Log().find("Failed to start IPC server"), std::string::npos);
  ASSERT_NE(second.manager(), nullptr);
  {
    // A changed hive that the old manager saves when it goes.
    const std::shared_ptr<Settings> hive = second.manager()->GetOrCreateHive("S-1-22-1-9");
    ASSERT_NE(hive, nullptr);
    hive->MarkDirty(false);
  }
  first.PluginUninitialize();

  // The old manager must go before the storage it borrows is replaced.
  ASSERT_EQ(second.PluginInitialize(), 0u);
  std::thread run([&] { second.PluginMain(); });
  {
    auto client = EnvelopeClient::Connect(kIdentity);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Set("app.second", "yes").result(), 0u);
    EXPECT_EQ(client->Get("app.second").value(), json("yes"));
  }
  second.PluginStop();
  run.join();
  second.PluginUninitialize();
  // One wake subscription with the host, however often it started.
  EXPECT_EQ(host_.subscriptions().size(), 1u);
  EXPECT_EQ(host_.handed_out(), host_.released());
}

TEST_F(VelderPluginTest, OnlyEvent18OfCategory2WakesTheManager) {
  VelderPlugin plugin;
  plugin.AttachHost(host_.table());
  ASSERT_EQ(plugin.PluginInitialize(), 0u);
  ASSERT_EQ(host_.subscriptions().size(), 1u);
  EXPECT_EQ(host_.subscriptions()[0].category, VelderPlugin::kWakeCategory);
  platform::ManualResetEvent& wake = plugin.manager()->wake_event();

  struct Case {
    uint32_t category;
    uint32_t code;
    bool wakes;
  } cases[] = {{2, 17, false}, {2, 19, false}, {2, 0, false}, {1, 18, false}, {3, 18, false}, {2, 18, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.category) + "/" + std::to_string(c.code));
    wake.Reset();
    HvHosterPlugin::DispatchHostEvent(&plugin, c.category, c.code, nullptr);
    EXPECT_EQ(wake.IsSet(), c.wakes);
  }
  plugin.PluginUninitialize();
  // The host may still raise it: nothing is left to wake, nothing breaks.
  host_.Raise(2, 18);
  EXPECT_EQ(plugin.manager(), nullptr);
}

TEST_F(VelderPluginTest, ServesBeforeRunAndSavesOnStop) {
  VelderPlugin plugin;
  plugin.AttachHost(host_.table());
  ASSERT_EQ(plugin.PluginInitialize(), 0u);
  {
    auto early = EnvelopeClient::Connect(kIdentity);
    ASSERT_NE(early, nullptr);
    EXPECT_EQ(early->Set("app.early", 1).result(), 0u);
    EXPECT_EQ(early->Raw(3, "").status, HV_IPC_NOT_HANDLED);
    EXPECT_EQ(early->Raw(HV_IPC_KIND_RELOAD_BASE_FILE, "").status, HV_IPC_OK);
  }
  std::thread run([&] { EXPECT_EQ(plugin.PluginMain(), 0u); });
  {
    auto client = EnvelopeClient::Connect(kIdentity);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Get("app.early").value(), json(1));
  }
  plugin.PluginStop();
  run.join();
  plugin.PluginUninitialize();
  HvQorLogging::LogFlush();
  const std::string log = Log();
  EXPECT_NE(log.find("Unknown message type: 3"), std::string::npos);
  EXPECT_NE(log.find("VelderPlugin::HandleUpdateLateboundMessage"), std::string::npos);
  EXPECT_NE(log.find("Running..."), std::string::npos);
  EXPECT_NE(log.find("Stopping..."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(sandbox_.ipc() / kIdentity / "VELDER_SERVICE"));
  EXPECT_TRUE(std::filesystem::exists(sandbox_.HiveFile("S-1-5-18")));
}

}  // namespace
