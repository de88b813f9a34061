// Change notifications through the real service: every subscriber of a
// changed path hears of it, in order, except the client whose request made
// the change, those of other paths and hives hear nothing, and a subscriber
// that goes away costs nobody else anything.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "envelope_client.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;
using Notifications = ServiceTest;

TEST_F(Notifications, EverySubscriberButTheWriterHearsEveryChangeInOrderAndALeaverHarmsNobody) {
  const std::string user = "S-1-22-1-777";
  constexpr int kListeners = 12, kWrites = 40;
  // The setting exists before anyone listens: each write then changes one
  // value. The listeners subscribe once that change has been delivered, since
  // a subscriber hears what is delivered after it subscribed.
  {
    auto setup = EnvelopeClient::Connect(), sentinel = EnvelopeClient::Connect();
    ASSERT_EQ(sentinel->Subscribe("counter", user).result(), 0u);
    ASSERT_EQ(setup->Set("counter.value", -100, user).result(), 0u);
    ASSERT_TRUE(sentinel->NextNotification().has_value());
  }
  std::vector<std::unique_ptr<EnvelopeClient>> listeners;
  for (int i = 0; i < kListeners; ++i) {
    listeners.push_back(EnvelopeClient::Connect());
    ASSERT_NE(listeners.back(), nullptr);
    ASSERT_EQ(listeners.back()->Subscribe(i % 2 == 0 ? "" : "counter", user).result(), 0u);
  }
  auto writer = EnvelopeClient::Connect(), elsewhere = EnvelopeClient::Connect();
  auto other_hive = EnvelopeClient::Connect();
  ASSERT_EQ(writer->Subscribe("counter", user).result(), 0u);
  ASSERT_EQ(elsewhere->Subscribe("other", user).result(), 0u);
  ASSERT_EQ(other_hive->Subscribe("counter", "S-1-22-1-778").result(), 0u);
  for (int n = 0; n < kWrites; ++n) {
    ASSERT_EQ(writer->Set("counter.value", n, user).result(), 0u);
    if (n == kWrites / 2) listeners[3].reset();  // leaves without unsubscribing
  }
  for (int i = 0; i < kListeners; ++i) {
    SCOPED_TRACE(i);
    for (int n = 0; listeners[i] && n < kWrites; ++n) {
      const std::optional<IpcMessage> heard = listeners[i]->NextNotification("counter.value");
      ASSERT_TRUE(heard.has_value()) << "write " << n;
      EXPECT_EQ(heard->message_type(), MessageType::Notification);
      EXPECT_EQ(IpcValue::ToJson(*heard), json(n));
    }
  }
  // The service still answers, and still notifies the others; a delete is
  // heard as a value of no kind, by the writer of before too.
  ASSERT_EQ(listeners[1]->Delete("counter.value", user).result(), 0u);
  for (auto* client : {&listeners[0], &writer}) {
    const std::optional<IpcMessage> last = (*client)->NextNotification("counter.value");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->value_kind(), static_cast<uint8_t>(ValueKind::None));
  }
  for (auto* client : {&listeners[1], &writer, &elsewhere, &other_hive}) {
    EXPECT_EQ((*client)->PendingNotifications(), 0u);
  }
}

}  // namespace
}  // namespace integration
