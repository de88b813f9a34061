// The first tests drain the queue on the test's own thread; the last ones
// run the notifier thread (run them under TSan as well).
#include "notify/change_notifier.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notify/fake_sender.h"
#include "platform/resource_limits.h"
#include "store/path_from_text.h"

namespace {

using nlohmann::json;
using notify_testing::kHangGuard;
using Strings = std::vector<std::string>;

const std::string kUser = "S-1-5-21-1";
const std::string kOther = "S-1-5-21-2";

struct TestNotifier : ChangeNotifier {
  using ChangeNotifier::ChangeNotifier;
  using ChangeNotifier::ProcessQueue;
};

class ChangeNotifierTest : public testing::Test {
 protected:
  ~ChangeNotifierTest() override { stop_.Set(); }
  // Sends one value change on this thread and returns the channels that got it.
  Strings SendValue(const std::string& path, const std::string& origin = "", const std::string& user = kUser,
                    const std::string& product = "tarn") {
    sender_->Clear();
    notifier_.Notify(product, user, P(path), json(1), origin);
    notifier_.ProcessQueue();
    return sender_->Sent();
  }
  // Returns once the notifier thread has sent all that was queued so far: the
  // queue is worked off in order.
  void Drain() {
    notifier_.Subscribe("marker", kUser, P(""), "marker");
    notifier_.Notify("marker", kUser, P("done"), json(true), "");
    ASSERT_TRUE(sender_->WaitForCallTo("marker"));
    notifier_.UnsubscribeAll("marker");
  }

  platform::ManualResetEvent stop_;
  std::shared_ptr<notify_testing::FakeSender> sender_ = std::make_shared<notify_testing::FakeSender>();
  TestNotifier notifier_{stop_, "velder-test", sender_};
};

TEST_F(ChangeNotifierTest, SubscriptionsAreUniqueAndRemovedExactly) {
  EXPECT_TRUE(notifier_.Subscribe("tarn", kUser, P("a.b"), "c1"));
  EXPECT_FALSE(notifier_.Subscribe("tarn", kUser, P("a.b"), "c1"));
  // Each of the four fields makes a subscription of its own; names compare
  // exactly; a key and an index that read alike are different paths.
  using Fields = std::tuple<std::string, std::string, std::string, std::string>;
  for (const auto& [product, user, path, channel] :
       std::vector<Fields>{{"tarn", kUser, "a.b", "C1"}, {"tarn", kOther, "a.b", "c1"}, {"Tarn", kUser, "a.b", "c1"},
                           {"tarn", kUser, "a", "c1"}, {"tarn", kUser, "", "c1"}, {"tarn", kUser, "a.0", "c1"}}) {
    EXPECT_TRUE(notifier_.Subscribe(product, user, P(path), channel)) << product << user << path << channel;
  }
  EXPECT_TRUE(notifier_.Unsubscribe("tarn", kUser, P("a.b"), "c1"));
  EXPECT_FALSE(notifier_.Unsubscribe("tarn", kUser, P("a.b"), "c1"));
  // The order of addition is kept.
  ASSERT_EQ(notifier_.Subscriptions().size(), 6u);
  EXPECT_EQ(notifier_.Subscriptions().front().channel, "C1");
  EXPECT_TRUE(notifier_.UnsubscribeAll("c1"));
  EXPECT_FALSE(notifier_.UnsubscribeAll("c1"));
  // IsSubscribed looks at product and user only, exactly.
  EXPECT_TRUE(notifier_.IsSubscribed("tarn", kUser));
  EXPECT_FALSE(notifier_.IsSubscribed("Tarn", kUser));
  EXPECT_FALSE(notifier_.IsSubscribed("tarn", "s-1-5-21-1"));
}

TEST_F(ChangeNotifierTest, TargetsAreMatchedByHivePrefixAndOriginAndSentOnceInUtf16Order) {
  for (const auto& [path, channel] : std::vector<std::pair<std::string, std::string>>{
           {"", "root"}, {"a", "a"}, {"a.b", "ab"}, {"a.b.c", "abc"}, {"a.bc", "a-bc"}, {"list.0", "list0"},
           {"u", "B"}, {"u", "a"}, {"u", "\xef\xbf\xbd"}, {"u.v", "\xf0\x9f\x98\x80"}, {"u", "\xf0\x9f\x98\x80"}}) {
    notifier_.Subscribe("tarn", kUser, P(path), channel);
  }
  notifier_.Subscribe("tarn", kOther, P(""), "other-user");
  notifier_.Subscribe("mire", kUser, P(""), "other-product");
  const std::tuple<std::string, std::string, Strings> cases[] = {
      // A change of a parent does not concern a subscriber of a child.
      {"a.b", "", {"a", "ab", "root"}},
      // Segments are compared, not characters.
      {"a.bc", "", {"a", "a-bc", "root"}},
      {"a.bcd", "", {"a", "root"}},
      {"list.1", "", {"root"}},
      // The origin is compared exactly.
      {"a.b.c", "AB", {"a", "ab", "abc", "root"}},
      // One message per channel, in the order of UTF-16 code units: U+1F600
      // is a surrogate pair there and sorts before U+FFFD.
      {"u.v.w", "", {"B", "a", "root", "\xf0\x9f\x98\x80", "\xef\xbf\xbd"}},
  };
  for (const auto& [path, origin, expected] : cases) {
    EXPECT_EQ(SendValue(path, origin), expected) << path << " from '" << origin << "'";
  }
  EXPECT_EQ(SendValue("a", "", kUser, "mire"), Strings{"other-product"});
  EXPECT_EQ(SendValue("a", "", kUser, "TARN"), Strings{});
}

TEST_F(ChangeNotifierTest, EnvelopesCarryPathAndValueInQueueOrder) {
  notifier_.Subscribe("tarn", kUser, P(""), "c1");
  const std::tuple<std::optional<json>, ValueKind, std::string> values[] = {
      {json(true), ValueKind::Boolean, std::string(1, '\x01')},
      {json::parse(R"({"b": [1, 2], "a": {}})"), ValueKind::Json, R"({"a":{},"b":[1,2]})"},
  };
  for (const auto& [value, kind, bytes] : values) notifier_.Notify("tarn", kUser, P("s.list.3"), value, "");
  // Constraint bits are zero-extended to 8 bytes.
  notifier_.NotifyConstraints("tarn", kUser, P("s.list.3"), 0x80000000u, "");
  notifier_.ProcessQueue();
  const auto calls = sender_->Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (size_t i = 0; i < calls.size(); ++i) {
    const IpcMessage m = calls[i].Message();
    EXPECT_EQ(calls[i].identity, "velder-test") << i;
    EXPECT_EQ(m.message_type(), i < 2 ? MessageType::Notification : MessageType::NotificationConstraints);
    EXPECT_EQ(m.name_space() + m.user() + m.client(), "") << "the subscriber learns the path only";
    EXPECT_EQ(m.path(), "s.list.3");
    EXPECT_EQ(m.value_kind(), static_cast<uint8_t>(i < 2 ? std::get<1>(values[i]) : ValueKind::Integer));
    EXPECT_EQ(m.value(), i < 2 ? std::get<2>(values[i]) : std::string("\0\0\0\x80\0\0\0\0", 8));
  }
}

TEST_F(ChangeNotifierTest, FailedChannelsAreDroppedAfterTheWholeNotification) {
  // "gone" sorts first; the channels after it must still get the message.
  for (const char* channel : {"slow", "gone", "fine"}) notifier_.Subscribe("tarn", kUser, P("a"), channel);
  notifier_.Subscribe("tarn", kOther, P(""), "gone");
  sender_->SetResult("slow", NotificationSender::kTimedOut);
  sender_->SetResult("gone", 6);
  EXPECT_EQ(SendValue("a.x"), (Strings{"fine", "gone", "slow"}));
  // Every subscription of the gone channel is dropped, for every hive; a
  // time-out keeps the channel. Every result but a time-out counts as gone.
  EXPECT_EQ(notifier_.Subscriptions().size(), 2u);
  EXPECT_EQ(SendValue("a.x"), (Strings{"fine", "slow"}));
  notifier_.Subscribe("tarn", kOther, P(""), "c");
  sender_->SetResult("c", 0xffffffffu);
  EXPECT_EQ(SendValue("a", "", kOther), Strings{"c"});
  EXPECT_FALSE(notifier_.IsSubscribed("tarn", kOther));
}

TEST_F(ChangeNotifierTest, WhatCannotBeSentIsDroppedAndTheQueueIsBounded) {
  notifier_.Subscribe("tarn", kUser, P(""), "c1");
  // A value no envelope can carry (which ones: ValueConversion's test).
  notifier_.Notify("tarn", kUser, P("a.b"), json{{"k", "\xff\xfe"}}, "");
  notifier_.Enqueue(nullptr);
  EXPECT_EQ(notifier_.QueuedCount(), 1u);
  notifier_.ProcessQueue();
  EXPECT_TRUE(sender_->Calls().empty());
  // Nothing else suffers: the subscription stays and the next change goes out.
  EXPECT_EQ(SendValue("a.b"), Strings{"c1"});
  for (size_t i = 0; i < resource_limits::kMaxPendingNotifications + 3; ++i) {
    notifier_.Notify("tarn", kUser, P("a"), json(1), "");
  }
  EXPECT_EQ(notifier_.QueuedCount(), resource_limits::kMaxPendingNotifications);
}

TEST_F(ChangeNotifierTest, StopEndsAfterTheNotificationInProgressAndRestartSendsTheRest) {
  notifier_.Subscribe("tarn", kUser, P(""), "a");
  notifier_.Subscribe("tarn", kUser, P(""), "b");
  // A stop that comes before the start is kept: the thread ends at once.
  notifier_.Notify("tarn", kUser, P("n1"), json(1), "");
  stop_.Set();
  ASSERT_TRUE(notifier_.Start());
  notifier_.Join();
  EXPECT_TRUE(sender_->Calls().empty());
  stop_.Reset();
  sender_->Hold("a");
  for (const char* path : {"n2", "n3", "n4"}) notifier_.Notify("tarn", kUser, P(path), json(1), "");
  ASSERT_TRUE(notifier_.Start());
  EXPECT_FALSE(notifier_.Start()) << "one thread at a time";
  ASSERT_TRUE(sender_->WaitUntilHeld());
  stop_.Set();
  sender_->Release("a");
  notifier_.Join();
  // The notification being sent still reached every one of its channels.
  EXPECT_EQ(sender_->Sent("b"), Strings{"n1"});
  // The plug-in clears its stop event before running again; what was left goes out first.
  stop_.Reset();
  ASSERT_TRUE(notifier_.Start());
  notifier_.Notify("tarn", kUser, P("n5"), json(1), "");
  Drain();
  for (const char* channel : {"a", "b"}) EXPECT_EQ(sender_->Sent(channel), (Strings{"n1", "n2", "n3", "n4", "n5"}));
}

TEST_F(ChangeNotifierTest, DestroyingARunningNotifierLeavesTheStopEventAlone) {
  auto notifier = std::make_unique<ChangeNotifier>(stop_, "velder-test", sender_);
  notifier->Subscribe("tarn", kUser, P(""), "c1");
  sender_->Hold("c1");
  ASSERT_TRUE(notifier->Start());
  for (const char* path : {"a", "b"}) notifier->Notify("tarn", kUser, P(path), json(1), "");
  ASSERT_TRUE(sender_->WaitUntilHeld());
  auto destroyed = std::async(std::launch::async, [&] { notifier.reset(); });
  sender_->Release("c1");
  ASSERT_EQ(destroyed.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_FALSE(stop_.IsSet());
  // "a" was in progress and completed; "b" may or may not have gone out.
  EXPECT_EQ(sender_->Sent("c1").at(0), "a");
}

// "slow" does not read: its send waits, as the IPC library's would until its
// time-out. Producers and subscription changes go on meanwhile, on several
// threads; afterwards every channel has every change of each producer, in
// that producer's order, but the changes it caused itself.
TEST_F(ChangeNotifierTest, ASlowSubscriberDelaysNoProducerAndNoChangeIsLost) {
  notifier_.Subscribe("tarn", kUser, P(""), "slow");
  notifier_.Subscribe("tarn", kUser, P(""), "fast");
  sender_->SetResult("slow", NotificationSender::kTimedOut);
  sender_->SetResult("dead", 6);
  sender_->Hold("slow");
  ASSERT_TRUE(notifier_.Start());
  notifier_.Notify("tarn", kUser, P("first"), json(1), "");
  ASSERT_TRUE(sender_->WaitUntilHeld());
  constexpr int kProducers = 4, kPerProducer = 250;
  auto produced = std::async(std::launch::async, [&] {
    std::vector<std::jthread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i) {
          const std::string name = "p" + std::to_string(p) + "." + std::to_string(i);
          notifier_.Notify("tarn", kUser, P(name), json(i), i % 3 == 0 ? "fast" : "");
          notifier_.Subscribe("tarn", kUser, P(""), "dead");  // a client that is gone keeps coming back
          notifier_.Unsubscribe("tarn", kUser, P("x"), "fast");
        }
      });
    }
  });
  ASSERT_EQ(produced.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(sender_->Sent("slow"), Strings{"first"}) << "still held";
  sender_->Release("slow");
  Drain();
  notifier_.UnsubscribeAll("dead");
  const Strings slow = sender_->Sent("slow");
  ASSERT_EQ(slow.size(), size_t{1 + kProducers * kPerProducer}) << "a time-out keeps the channel";
  std::map<std::string, int> next;  // per producer, the next index expected
  for (size_t i = 1; i < slow.size(); ++i) {
    const std::string producer = slow[i].substr(0, slow[i].find('.'));
    EXPECT_EQ(slow[i], producer + "." + std::to_string(next[producer]++));
  }
  EXPECT_EQ(sender_->Sent("fast").size(), size_t{1 + kProducers * (kPerProducer - (kPerProducer + 2) / 3)});
}

}  // namespace
