// The plug-in inside the test process, with velder-host's table and the real
// maker libraries of the build: start failures, a second start, the wake
// event, and requests before Run. That a stop leaves no thread
// behind is pinned where the real library is loaded and unloaded.
#include "plugin/velder_plugin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "integration/envelope_client.h"
#include "integration/service_sandbox.h"
#include "logging/log.h"
#include "plugin_host.h"

namespace {

using integration::EnvelopeClient;
using integration::Sandbox;
using nlohmann::json;

constexpr char kIdentity[] = "plugin-test";

// A plug-in attached to a host table of its own that names `data`.
struct Attached {
  explicit Attached(const std::filesystem::path& data) : host(kIdentity, {{"DataPath", data.string()}}) {
    plugin.AttachHost(host.host_table());
  }
  host::PluginHost host;
  VelderPlugin plugin;
};

class VelderPluginTest : public ::testing::Test {
 protected:
  // The log is process-wide: each test opens its own in its own sandbox.
  ~VelderPluginTest() override { HvQorLogging::LogClose(); }
  Sandbox sandbox_;
};

TEST_F(VelderPluginTest, StartFailsWithoutAUsableDataFolder) {
  testing_support::WriteFile(sandbox_.root() / "a-file", "x");
  for (const auto& data : {std::filesystem::path(), sandbox_.root() / "a-file", sandbox_.root() / "none"}) {
    SCOPED_TRACE(data);
    Attached a(data);
    EXPECT_EQ(a.plugin.PluginInitialize(), 1u);
    EXPECT_EQ(a.plugin.manager(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(sandbox_.ipc() / kIdentity / "VELDER_SERVICE"));
    a.plugin.PluginUninitialize();
  }
  VelderPlugin never_started;
  EXPECT_EQ(never_started.PluginMain(), 1u);
}

TEST_F(VelderPluginTest, StartingAgainAfterAFailureReplacesWhatTheFirstStartLeft) {
  std::filesystem::create_directories(sandbox_.root() / "first");
  Attached a(sandbox_.root() / "first");
  VelderPlugin& first = a.plugin;
  ASSERT_EQ(first.PluginInitialize(), 0u);

  // The name is taken: the second start fails late, with its objects made.
  Attached b(sandbox_.data());
  VelderPlugin& second = b.plugin;
  EXPECT_EQ(second.PluginInitialize(), 1u);
  ASSERT_NE(second.manager(), nullptr);
  {
    // A changed hive that the old manager saves when it goes.
    const std::shared_ptr<Settings> hive = second.manager()->GetOrCreateHive("S-1-22-1-9");
    ASSERT_NE(hive, nullptr);
    hive->MarkDirty(false);
  }
  first.PluginUninitialize();

  // The old manager must go before the storage it borrows is replaced.
  // Requests are served from the end of Initialize on, before Run.
  ASSERT_EQ(second.PluginInitialize(), 0u);
  {
    auto client = EnvelopeClient::Connect(kIdentity);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Set("app.second", "yes").result(), 0u);
    EXPECT_EQ(client->Get("app.second").value(), json("yes"));
  }
  std::thread run([&] { second.PluginMain(); });
  second.PluginStop();
  run.join();
  second.PluginUninitialize();
}

TEST_F(VelderPluginTest, OnlyEvent18OfCategory2WakesTheManager) {
  Attached a(sandbox_.data());
  VelderPlugin& plugin = a.plugin;
  ASSERT_EQ(plugin.PluginInitialize(), 0u);
  platform::ManualResetEvent& wake = plugin.manager()->wake_event();
  const struct { uint32_t category, code; bool wakes; } cases[] = {
      {2, 17, false}, {2, 19, false}, {1, 18, false}, {3, 18, false}, {2, 18, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.category) + "/" + std::to_string(c.code));
    wake.Reset();
    // Through the host, and directly for the categories it did not subscribe to.
    a.host.RaiseEvent(c.category, c.code, nullptr);
    HvHosterPlugin::DispatchHostEvent(&plugin, c.category, c.code, nullptr);
    EXPECT_EQ(wake.IsSet(), c.wakes);
  }
  plugin.PluginUninitialize();
}

}  // namespace
