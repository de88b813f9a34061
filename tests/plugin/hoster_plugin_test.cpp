// The host side of every plug-in: the entry table, host strings, and host
// event subscriptions and their dispatch.
#include "plugin/hoster_plugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "plugin/fake_host.h"

namespace {

using plugin_test::FakeHost;

// Records what the entries call.
class RecordingPlugin : public HvHosterPlugin {
 public:
  explicit RecordingPlugin(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}
  ~RecordingPlugin() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  uint32_t PluginInitialize() override {
    calls += "init(" + identity() + ")";
    return 7;
  }
  uint32_t PluginMain() override {
    calls += "main";
    return 9;
  }
  void PluginUninitialize() override { calls += "uninit"; }
  void PluginStop() override { calls += "stop"; }

  std::string calls;

 private:
  std::atomic<int>* destroyed_;
};

TEST(HosterPlugin, EntryTableIsCutToTheBufferSize) {
  constexpr uint8_t kUntouched = 0xAB;
  for (const size_t size : {0u, 1u, 7u, 8u, 9u, 24u, 47u, 48u, 64u}) {
    SCOPED_TRACE(size);
    std::atomic<int> destroyed{0};
    uint8_t buffer[64];
    std::memset(buffer, kUntouched, sizeof buffer);
    auto* plugin = new RecordingPlugin(&destroyed);
    const bool filled = HvHosterPlugin::FillEntryTable(plugin, buffer, size);
    const size_t written = size < sizeof(uintptr_t) ? 0 : std::min<size_t>(size, hoster::kEntryTableBytes);
    EXPECT_EQ(filled, written > 0);
    for (size_t i = written; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], kUntouched) << "byte " << i;
    if (!filled) {
      // Nobody could ever destroy it.
      EXPECT_EQ(destroyed.load(), 1);
      continue;
    }
    uintptr_t context = 0;
    std::memcpy(&context, buffer, sizeof context);
    EXPECT_EQ(context, reinterpret_cast<uintptr_t>(plugin));
    delete plugin;
  }
  std::atomic<int> destroyed{0};
  EXPECT_FALSE(HvHosterPlugin::FillEntryTable(new RecordingPlugin(&destroyed), nullptr, 48));
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(HosterPlugin, EntriesDriveThePluginAndFetchTheIdentity) {
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

  FakeHost host;
  host.identity = "unit-id";
  EXPECT_EQ(init(context, host.table()), 7u);
  EXPECT_EQ(plugin->identity(), "unit-id");
  EXPECT_EQ(host.handed_out(), 1);
  EXPECT_EQ(host.released(), 1);
  EXPECT_EQ(run(context, 12345), 9u);
  stop(context);
  uninit(context, 6789);
  EXPECT_EQ(plugin->calls, "init(unit-id)mainstopuninit");

  // A host that gives no identity, or no table at all.
  host.identity.reset();
  init(context, host.table());
  EXPECT_EQ(plugin->identity(), "");
  EXPECT_EQ(host.released(), 1);
  init(context, nullptr);
  EXPECT_EQ(plugin->identity(), "");

  EXPECT_EQ(init(nullptr, host.table()), 1u);
  EXPECT_EQ(run(nullptr, 0), 1u);
  stop(nullptr);
  uninit(nullptr, 0);
  destroy(nullptr);
  EXPECT_EQ(destroyed.load(), 0);
  destroy(context);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(HosterPlugin, ConfigurationStringsAreCopiedAndReleasedOnce) {
  FakeHost host;
  host.config = {{"DataPath", "/srv/data"}, {"Empty", ""}};
  RecordingPlugin plugin;
  plugin.AttachHost(host.table());
  EXPECT_EQ(plugin.GetHostConfig("DataPath"), std::optional<std::string>("/srv/data"));
  EXPECT_EQ(plugin.GetHostConfig("Empty"), std::optional<std::string>(""));
  EXPECT_EQ(plugin.GetHostConfig("ImportPath"), std::nullopt);
  EXPECT_EQ(host.handed_out(), 2);
  EXPECT_EQ(host.released(), 2);

  // A table without the configuration function.
  host.mutable_table()[hoster::kHostConfig] = 0;
  plugin.AttachHost(host.table());
  EXPECT_EQ(plugin.GetHostConfig("DataPath"), std::nullopt);
}

TEST(HosterPlugin, EventsReachEveryHandlerOfTheirCategoryInOrder) {
  FakeHost host;
  RecordingPlugin plugin;
  plugin.AttachHost(host.table());
  std::vector<std::string> heard;
  plugin.SubscribeHostEvent(2, [&](uint32_t code, void* data) {
    heard.push_back("a" + std::to_string(code) + (data != nullptr ? "+" : ""));
  });
  plugin.SubscribeHostEvent(2, [&](uint32_t code, void*) { heard.push_back("b" + std::to_string(code)); });
  plugin.SubscribeHostEvent(5, [&](uint32_t code, void*) { heard.push_back("c" + std::to_string(code)); });
  // One subscription with the host per category.
  ASSERT_EQ(host.subscriptions().size(), 2u);
  EXPECT_EQ(host.subscriptions()[0].category, 2u);
  EXPECT_EQ(host.subscriptions()[1].category, 5u);

  int data = 0;
  host.Raise(2, 18, &data);
  host.Raise(5, 1);
  host.Raise(7, 1);  // nobody listens
  HvHosterPlugin::DispatchHostEvent(&plugin, 9, 1, nullptr);
  HvHosterPlugin::DispatchHostEvent(nullptr, 2, 1, nullptr);
  EXPECT_EQ(heard, (std::vector<std::string>{"a18+", "b18", "c1"}));
}

TEST(HosterPlugin, HandlersMaySubscribeWhileEventsArrive) {
  FakeHost host;
  RecordingPlugin plugin;
  plugin.AttachHost(host.table());
  std::atomic<int> calls{0};
  // A handler that subscribes from inside an event must not deadlock.
  plugin.SubscribeHostEvent(1, [&](uint32_t, void*) {
    ++calls;
    if (calls.load() == 1) plugin.SubscribeHostEvent(1, [&](uint32_t, void*) { ++calls; });
  });
  host.Raise(1, 0);
  EXPECT_EQ(calls.load(), 1);
  host.Raise(1, 0);
  EXPECT_EQ(calls.load(), 3);

  // Many threads raising while others subscribe.
  std::atomic<int> late_calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) HvHosterPlugin::DispatchHostEvent(&plugin, 3, 0, nullptr);
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) plugin.SubscribeHostEvent(3, [&](uint32_t, void*) { ++late_calls; });
    });
  }
  for (auto& thread : threads) thread.join();
  late_calls = 0;
  HvHosterPlugin::DispatchHostEvent(&plugin, 3, 0, nullptr);
  EXPECT_EQ(late_calls.load(), 100);
  EXPECT_EQ(host.subscriptions().size(), 2u);  // categories 1 and 3
}

}  // namespace
