// Change notifications through the real service: every subscriber of a
// changed path hears of it, in order, except the client whose request made
// the change; a subscriber that goes away costs nobody else anything.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "envelope_client.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

const std::string kUser = "S-1-22-1-777";

class NotificationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host_.WaitRunning()) << host_.err(); }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }

  Sandbox sandbox_;
  HostProcess host_{HostProcess::DefaultArguments(sandbox_)};
};

TEST_F(NotificationTest, SubscribersHearEveryChangeExceptTheirOwn) {
  auto writer = EnvelopeClient::Connect();
  auto listener = EnvelopeClient::Connect();
  auto elsewhere = EnvelopeClient::Connect();
  auto other_hive = EnvelopeClient::Connect();
  ASSERT_TRUE(writer && listener && elsewhere && other_hive);
  ASSERT_EQ(writer->Subscribe("app", kUser).result(), 0u);
  ASSERT_EQ(listener->Subscribe("app", kUser).result(), 0u);
  ASSERT_EQ(elsewhere->Subscribe("other", kUser).result(), 0u);
  ASSERT_EQ(other_hive->Subscribe("app", "S-1-22-1-778").result(), 0u);

  ASSERT_EQ(writer->Set("app.color", "red", kUser).result(), 0u);
  std::optional<IpcMessage> heard = listener->NextNotification();
  ASSERT_TRUE(heard.has_value());
  EXPECT_EQ(heard->message_type(), MessageType::Notification);
  EXPECT_EQ(heard->path(), "app.color");
  EXPECT_EQ(IpcValue::ToJson(*heard), json("red"));

  // The listener deletes: now the writer hears, the listener does not.
  ASSERT_EQ(listener->Delete("app.color", kUser).result(), 0u);
  heard = writer->NextNotification();
  ASSERT_TRUE(heard.has_value());
  EXPECT_EQ(heard->path(), "app.color");
  EXPECT_EQ(heard->value_kind(), static_cast<uint8_t>(ValueKind::None));

  // A marker write that everybody subscribed to "app" of the hive hears,
  // after which nothing else may be pending.
  auto marker = EnvelopeClient::Connect();
  ASSERT_EQ(marker->Set("app.marker", 1, kUser).result(), 0u);
  ASSERT_TRUE(writer->NextNotification().has_value());
  ASSERT_TRUE(listener->NextNotification().has_value());
  EXPECT_EQ(writer->PendingNotifications(), 0u);
  EXPECT_EQ(listener->PendingNotifications(), 0u);
  EXPECT_EQ(elsewhere->PendingNotifications(), 0u);
  EXPECT_EQ(other_hive->PendingNotifications(), 0u);
}

TEST_F(NotificationTest, ManySubscribersHearEveryChangeInOrderAndALeaverHarmsNobody) {
  constexpr int kListeners = 12;
  constexpr int kWrites = 40;
  // The setting exists before anyone listens: each write then changes one
  // value. The listeners subscribe once that change has been delivered, since
  // a subscriber hears what is delivered after it subscribed.
  {
    auto setup = EnvelopeClient::Connect();
    auto sentinel = EnvelopeClient::Connect();
    ASSERT_TRUE(setup && sentinel);
    ASSERT_EQ(sentinel->Subscribe("counter", kUser).result(), 0u);
    ASSERT_EQ(setup->Set("counter.value", -100, kUser).result(), 0u);
    ASSERT_TRUE(sentinel->NextNotification().has_value());
  }
  std::vector<std::unique_ptr<EnvelopeClient>> listeners;
  for (int i = 0; i < kListeners; ++i) {
    listeners.push_back(EnvelopeClient::Connect());
    ASSERT_NE(listeners.back(), nullptr);
    ASSERT_EQ(listeners.back()->Subscribe(i % 2 == 0 ? "" : "counter", kUser).result(), 0u);
  }
  auto writer = EnvelopeClient::Connect();
  ASSERT_NE(writer, nullptr);
  for (int n = 0; n < kWrites; ++n) {
    ASSERT_EQ(writer->Set("counter.value", n, kUser).result(), 0u);
    // Half-way, one subscriber leaves without unsubscribing.
    if (n == kWrites / 2) listeners[3].reset();
  }
  for (int i = 0; i < kListeners; ++i) {
    if (listeners[i] == nullptr) continue;
    SCOPED_TRACE(i);
    for (int n = 0; n < kWrites; ++n) {
      const std::optional<IpcMessage> heard = listeners[i]->NextNotificationOf("counter.value");
      ASSERT_TRUE(heard.has_value()) << "write " << n;
      EXPECT_EQ(heard->path(), "counter.value");
      EXPECT_EQ(IpcValue::ToJson(*heard), json(n));
    }
  }
  // The service still answers, and still notifies the others.
  ASSERT_EQ(writer->Set("counter.value", -1, kUser).result(), 0u);
  const std::optional<IpcMessage> last = listeners[0]->NextNotificationOf("counter.value");
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(IpcValue::ToJson(*last), json(-1));
}

}  // namespace
}  // namespace integration
