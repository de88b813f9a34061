// The notifier thread (run these under the thread sanitizer as well).
#include "notify/change_notifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notify/envelope_reader.h"
#include "notify/fake_sender.h"
#include "support/log_capture.h"

namespace {

using nlohmann::json;
using notify_testing::FakeSender;
using notify_testing::kHangGuard;
using testing_support::LogCapture;
using notify_testing::ReadEnvelope;
using Strings = std::vector<std::string>;

const std::string kUser = "S-1-5-21-7";

VelderPath::Path P(const std::string& text) {
  VelderPath::Path path;
  EXPECT_TRUE(VelderPath::Parse(text, path)) << text;
  return path;
}

class NotifierThreadTest : public testing::Test {
 protected:
  void TearDown() override {
    stop_.Set();
    notifier_->Join();
  }

  // Paths of the messages `channel` received, in order.
  Strings PathsSentTo(const std::string& channel) {
    Strings paths;
    for (const auto& call : sender_->Calls()) {
      if (call.channel == channel) paths.push_back(ReadEnvelope(call.bytes).path);
    }
    return paths;
  }

  // Returns once everything queued so far was processed completely: the
  // queue is worked off in order, so when a later marker reaches its own
  // channel, every earlier notification has been sent and its failures
  // handled.
  void Drain() {
    const std::string marker = "marker" + std::to_string(++markers_);
    notifier_->Subscribe("marker", kUser, P(""), marker);
    notifier_->Notify("marker", kUser, P("done"), json(true), "");
    ASSERT_TRUE(sender_->WaitForCallTo(marker));
    notifier_->UnsubscribeAll(marker);
  }

  platform::ManualResetEvent stop_;
  std::shared_ptr<FakeSender> sender_ = std::make_shared<FakeSender>();
  std::unique_ptr<ChangeNotifier> notifier_ = std::make_unique<ChangeNotifier>(stop_, "velder-test", sender_);
  int markers_ = 0;
};

TEST_F(NotifierThreadTest, StopEndsAfterTheNotificationInProgressAndRestartSendsTheRest) {
  notifier_->Subscribe("tarn", kUser, P(""), "a");
  notifier_->Subscribe("tarn", kUser, P(""), "b");
  sender_->Hold("a");
  for (const char* path : {"n1", "n2", "n3", "n4"}) notifier_->Notify("tarn", kUser, P(path), json(1), "");
  ASSERT_TRUE(notifier_->Start());
  ASSERT_TRUE(sender_->WaitUntilHeld());

  stop_.Set();
  sender_->Release("a");
  notifier_->Join();
  // The notification being sent still reached every one of its channels.
  EXPECT_EQ(PathsSentTo("a"), Strings{"n1"});
  EXPECT_EQ(PathsSentTo("b"), Strings{"n1"});
  EXPECT_EQ(notifier_->QueuedCount(), 3u);
  // Queued while stopped: kept as well.
  notifier_->Notify("tarn", kUser, P("n5"), json(1), "");

  // The plug-in clears its stop event before running again; what was left
  // goes out first.
  stop_.Reset();
  ASSERT_TRUE(notifier_->Start());
  Drain();
  EXPECT_EQ(PathsSentTo("a"), (Strings{"n1", "n2", "n3", "n4", "n5"}));
  EXPECT_EQ(PathsSentTo("b"), (Strings{"n1", "n2", "n3", "n4", "n5"}));
  EXPECT_EQ(notifier_->QueuedCount(), 0u);
}

TEST_F(NotifierThreadTest, StartNeverClearsAStopAlreadyRequested) {
  // A stop that arrives before the main loop starts the notifier must not be
  // lost: every other loop of the service waits for the same event.
  notifier_->Subscribe("tarn", kUser, P(""), "c1");
  notifier_->Notify("tarn", kUser, P("a"), json(1), "");
  stop_.Set();
  ASSERT_TRUE(notifier_->Start());
  notifier_->Join();
  EXPECT_TRUE(stop_.IsSet());
  EXPECT_TRUE(sender_->Calls().empty());
  EXPECT_EQ(notifier_->QueuedCount(), 1u);
}

TEST_F(NotifierThreadTest, OnlyOneThreadAtATime) {
  ASSERT_TRUE(notifier_->Start());
  {
    LogCapture log;
    EXPECT_FALSE(notifier_->Start());
    EXPECT_TRUE(log.Contains("already running"));
  }
  stop_.Set();
  notifier_->Join();
  notifier_->Join();  // a second Join, or one without a thread, returns at once
  stop_.Reset();
  EXPECT_TRUE(notifier_->Start());
}

TEST_F(NotifierThreadTest, DestroyingARunningNotifierLeavesTheStopEventAlone) {
  notifier_->Subscribe("tarn", kUser, P(""), "c1");
  sender_->Hold("c1");
  ASSERT_TRUE(notifier_->Start());
  notifier_->Notify("tarn", kUser, P("a"), json(1), "");
  notifier_->Notify("tarn", kUser, P("b"), json(1), "");
  ASSERT_TRUE(sender_->WaitUntilHeld());
  auto destroyed = std::async(std::launch::async, [&] { notifier_.reset(); });
  sender_->Release("c1");
  ASSERT_EQ(destroyed.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_FALSE(stop_.IsSet());
  // "a" was in progress and completed; "b" may or may not have gone out,
  // depending on whether the destructor had begun when the send returned.
  const Strings sent = PathsSentTo("c1");
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0], "a");
  EXPECT_LE(sent.size(), 2u);
  notifier_ = std::make_unique<ChangeNotifier>(stop_, "velder-test", sender_);
}

TEST_F(NotifierThreadTest, ASlowSubscriberDelaysNoProducerNorSubscriber) {
  // "slow" does not read: its send waits, as the IPC library's would for up
  // to its time-out, and then reports the time-out.
  notifier_->Subscribe("tarn", kUser, P(""), "slow");
  notifier_->Subscribe("tarn", kUser, P(""), "fast");
  sender_->SetResult("slow", NotificationSender::kTimedOut);
  sender_->Hold("slow");
  ASSERT_TRUE(notifier_->Start());
  notifier_->Notify("tarn", kUser, P("first"), json(1), "");
  ASSERT_TRUE(sender_->WaitUntilHeld());

  // Everything producers and request threads do completes while the send is
  // still held; had any of it waited for the send, it would never finish.
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 250;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      const std::string channel = "client" + std::to_string(p);
      for (int i = 0; i < kPerProducer; ++i) {
        notifier_->Notify("tarn", kUser, P("p" + std::to_string(p) + "." + std::to_string(i)), json(i), "");
        notifier_->Subscribe("tarn", kUser, P("x"), channel);
        EXPECT_TRUE(notifier_->IsSubscribed("tarn", kUser));
        notifier_->Unsubscribe("tarn", kUser, P("x"), channel);
        notifier_->NotifyConstraints("tarn", "S-1-5-21-8", P("y"), 2, "");
      }
    });
  }
  auto done = std::async(std::launch::async, [&] {
    for (auto& t : producers) t.join();
  });
  ASSERT_EQ(done.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_TRUE(sender_->IsInsideHeldSend());
  EXPECT_EQ(notifier_->QueuedCount(), size_t{2 * kProducers * kPerProducer});

  sender_->Release("slow");
  Drain();
  // A time-out keeps the channel: both got everything.
  EXPECT_EQ(PathsSentTo("slow").size(), size_t{1 + kProducers * kPerProducer});
  EXPECT_EQ(PathsSentTo("fast").size(), size_t{1 + kProducers * kPerProducer});
  EXPECT_TRUE(notifier_->IsSubscribed("tarn", kUser));
}

TEST_F(NotifierThreadTest, ManyThreadsLoseNoNotificationAndKeepEachProducersOrder) {
  notifier_->Subscribe("tarn", kUser, P(""), "stable");
  sender_->SetResult("dead", 6);
  ASSERT_TRUE(notifier_->Start());

  constexpr int kProducers = 4;
  constexpr int kPerProducer = 300;
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        notifier_->Notify("tarn", kUser, P("p" + std::to_string(p) + "." + std::to_string(i)), json(i),
                          i % 3 == 0 ? "churn" : "");
      }
    });
  }
  // Request threads change subscriptions meanwhile; a client that is gone
  // keeps subscribing and is dropped again by the notifier thread.
  std::thread churn([&] {
    while (producing.load()) {
      notifier_->Subscribe("tarn", kUser, P("p1"), "churn");
      notifier_->Subscribe("tarn", kUser, P(""), "dead");
      notifier_->IsSubscribed("tarn", kUser);
      notifier_->UnsubscribeAll("churn");
      std::this_thread::yield();
    }
  });
  for (auto& t : threads) t.join();
  producing = false;
  churn.join();
  Drain();

  std::map<std::string, int> next;  // per producer, the next index expected
  const Strings paths = PathsSentTo("stable");
  ASSERT_EQ(paths.size(), size_t{kProducers * kPerProducer});
  for (const std::string& path : paths) {
    const std::string producer = path.substr(0, path.find('.'));
    EXPECT_EQ(path, producer + "." + std::to_string(next[producer]++));
  }
  // The churning channel caused a third of producer 1's changes and never
  // heard of them.
  for (const std::string& path : PathsSentTo("churn")) {
    ASSERT_EQ(path.rfind("p1.", 0), 0u) << path;
    EXPECT_NE(std::stoi(path.substr(3)) % 3, 0) << path;
  }
  notifier_->UnsubscribeAll("dead");
}

}  // namespace
