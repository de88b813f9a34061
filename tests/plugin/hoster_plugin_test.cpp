// The host side of every plug-in: the entry table, host strings, and host
// event subscriptions and their dispatch, against velder-host's own table.
// That every host string is released once is ASan's to check.
#include "plugin/hoster_plugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "plugin_host.h"

namespace {

// Results of its own, and a count of its destruction.
struct RecordingPlugin : HvHosterPlugin {
  explicit RecordingPlugin(std::atomic<int>* destroyed = nullptr) : destroyed(destroyed) {}
  ~RecordingPlugin() override {
    if (destroyed != nullptr) ++*destroyed;
  }
  uint32_t PluginInitialize() override { return 7; }
  uint32_t PluginMain() override { return 9; }
  void PluginUninitialize() override {}
  void PluginStop() override {}
  std::atomic<int>* destroyed;
};

TEST(HosterPlugin, EntryTableIsCutToTheBufferSize) {
  constexpr uint8_t kUntouched = 0xAB;
  for (const size_t size : {0u, 7u, 8u, 9u, 47u, 48u, 64u}) {
    SCOPED_TRACE(size);
    std::atomic<int> destroyed{0};
    uint8_t buffer[64];
    std::memset(buffer, kUntouched, sizeof buffer);
    auto* plugin = new RecordingPlugin(&destroyed);
    const size_t written = size < sizeof(uintptr_t) ? 0 : std::min<size_t>(size, hoster::kEntryTableBytes);
    EXPECT_EQ(HvHosterPlugin::FillEntryTable(plugin, buffer, size), written > 0);
    for (size_t i = written; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], kUntouched) << "byte " << i;
    // A plug-in that was not handed out could never be destroyed otherwise.
    EXPECT_EQ(destroyed.load(), written > 0 ? 0 : 1);
    if (written > 0) delete plugin;
  }
  std::atomic<int> destroyed{0};
  EXPECT_FALSE(HvHosterPlugin::FillEntryTable(new RecordingPlugin(&destroyed), nullptr, 48));
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(HosterPlugin, EntriesDriveThePluginAndFetchHostStrings) {
  std::atomic<int> destroyed{0};
  uintptr_t table[hoster::kEntryWords] = {};
  auto* plugin = new RecordingPlugin(&destroyed);
  ASSERT_TRUE(HvHosterPlugin::FillEntryTable(plugin, table, sizeof table));
  void* context = reinterpret_cast<void*>(table[hoster::kEntryContext]);
  const auto init = reinterpret_cast<hoster::PluginInitializeEntry>(table[hoster::kEntryInitialize]);
  const auto run = reinterpret_cast<hoster::PluginRunEntry>(table[hoster::kEntryRun]);
  const auto stop = reinterpret_cast<hoster::PluginStopEntry>(table[hoster::kEntryStop]);
  const auto uninit = reinterpret_cast<hoster::PluginUninitializeEntry>(table[hoster::kEntryUninitialize]);
  const auto destroy = reinterpret_cast<hoster::PluginDestroyEntry>(table[hoster::kEntryDestroy]);

  host::PluginHost host("unit-id", {{"DataPath", "/srv/data"}});
  EXPECT_EQ(init(context, host.host_table()), 7u);
  EXPECT_EQ(run(context, 12345), 9u);
  EXPECT_EQ(plugin->identity(), "unit-id");
  EXPECT_EQ(plugin->GetHostConfig("DataPath"), std::optional<std::string>("/srv/data"));
  EXPECT_EQ(plugin->GetHostConfig("ImportPath"), std::nullopt);

  // A table without the identity or configuration function, or none at all.
  uintptr_t partial[hoster::kHostWords];
  std::memcpy(partial, host.host_table(), sizeof partial);
  partial[hoster::kHostIdentity] = partial[hoster::kHostConfig] = 0;
  init(context, partial);
  EXPECT_EQ(plugin->identity(), "");
  EXPECT_EQ(plugin->GetHostConfig("DataPath"), std::nullopt);
  init(context, nullptr);
  EXPECT_EQ(plugin->identity(), "");

  EXPECT_EQ(init(nullptr, host.host_table()), 1u);
  EXPECT_EQ(run(nullptr, 0), 1u);
  stop(nullptr);
  uninit(nullptr, 0);
  destroy(nullptr);
  EXPECT_EQ(destroyed.load(), 0);
  destroy(context);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(HosterPlugin, EventsReachEveryHandlerOfTheirCategoryInOrderAlsoWhileHandlersSubscribe) {
  host::PluginHost host("unit-id", {});
  RecordingPlugin plugin;
  plugin.AttachHost(host.host_table());
  std::vector<std::string> heard;
  plugin.SubscribeHostEvent(2, [&](uint32_t code, void* data) {
    heard.push_back("a" + std::to_string(code) + (data != nullptr ? "+" : ""));
  });
  plugin.SubscribeHostEvent(2, [&](uint32_t code, void*) { heard.push_back("b" + std::to_string(code)); });
  plugin.SubscribeHostEvent(5, [&](uint32_t code, void*) { heard.push_back("c" + std::to_string(code)); });
  int data = 0;
  host.RaiseEvent(2, 18, &data);  // a second host subscription would call each handler twice
  host.RaiseEvent(5, 1, nullptr);
  host.RaiseEvent(7, 1, nullptr);  // nobody listens
  HvHosterPlugin::DispatchHostEvent(nullptr, 2, 1, nullptr);
  EXPECT_EQ(heard, (std::vector<std::string>{"a18+", "b18", "c1"}));

  // A handler that subscribes from inside an event must not deadlock.
  std::atomic<int> calls{0};
  plugin.SubscribeHostEvent(1, [&](uint32_t, void*) {
    if (++calls == 1) plugin.SubscribeHostEvent(1, [&](uint32_t, void*) { ++calls; });
  });
  host.RaiseEvent(1, 0, nullptr);
  host.RaiseEvent(1, 0, nullptr);
  EXPECT_EQ(calls.load(), 3);

  // Many threads raising while others subscribe.
  std::atomic<int> late_calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500 && t < 4; ++i) HvHosterPlugin::DispatchHostEvent(&plugin, 3, 0, nullptr);
      for (int i = 0; i < 50 && t >= 4; ++i) plugin.SubscribeHostEvent(3, [&](uint32_t, void*) { ++late_calls; });
    });
  }
  for (auto& thread : threads) thread.join();
  late_calls = 0;
  host.RaiseEvent(3, 0, nullptr);
  EXPECT_EQ(late_calls.load(), 100);
}

}  // namespace
