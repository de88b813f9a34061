// The plug-in library as the host sees it: a library that can be loaded,
// run, stopped and unloaded again and again in one process without leaving a
// thread or a callback behind.
#include <gtest/gtest.h>

#include <thread>

#include "envelope_client.h"
#include "plugin_host.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

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
