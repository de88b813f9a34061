// The queue is drained on the test's own thread (ProcessQueue) so that every
// case is deterministic; the notifier thread has tests of its own.
#include "notify/change_notifier.h"
#include "platform/resource_limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "notify/envelope_reader.h"
#include "notify/fake_sender.h"
#include "support/log_capture.h"

namespace {

using nlohmann::json;
using notify_testing::Envelope;
using notify_testing::FakeSender;
using testing_support::LogCapture;
using notify_testing::ReadEnvelope;
using Strings = std::vector<std::string>;

const std::string kUser = "S-1-5-21-1";
const std::string kOther = "S-1-5-21-2";

VelderPath::Path P(const std::string& text) {
  VelderPath::Path path;
  EXPECT_TRUE(VelderPath::Parse(text, path)) << text;
  return path;
}

// Drains the queue on the calling thread.
class TestNotifier : public ChangeNotifier {
 public:
  using ChangeNotifier::ChangeNotifier;
  using ChangeNotifier::ProcessQueue;
};

class ChangeNotifierTest : public testing::Test {
 protected:
  // Sends one value change and returns the channels that got it.
  Strings SendValue(const std::string& path, const std::string& origin = "", const std::string& user = kUser,
                    const std::string& product = "tarn") {
    sender_->Clear();
    notifier_.Notify(product, user, P(path), json(1), origin);
    notifier_.ProcessQueue();
    return sender_->Channels();
  }

  platform::ManualResetEvent stop_;
  std::shared_ptr<FakeSender> sender_ = std::make_shared<FakeSender>();
  TestNotifier notifier_{stop_, "velder-test", sender_};
};

TEST_F(ChangeNotifierTest, TheQueueIsBoundedAndDroppedChangesAreCounted) {
  LogCapture log;
  for (size_t i = 0; i < resource_limits::kMaxPendingNotifications + 3; ++i) {
    notifier_.Notify("tarn", kUser, P("a"), json(1), "");
  }
  EXPECT_EQ(notifier_.QueuedCount(), resource_limits::kMaxPendingNotifications);
  notifier_.ProcessQueue();
  notifier_.Notify("tarn", kUser, P("a"), json(2), "");
  EXPECT_EQ(notifier_.QueuedCount(), 1u);
  EXPECT_TRUE(log.Contains("3 changes were not notified")) << log.Text();
}

TEST_F(ChangeNotifierTest, SubscriptionsAreUniqueAndRemovedExactly) {
  EXPECT_TRUE(notifier_.Subscribe("tarn", kUser, P("a.b"), "c1"));
  EXPECT_FALSE(notifier_.Subscribe("tarn", kUser, P("a.b"), "c1"));
  // Each of the four fields makes a subscription of its own; names compare exactly.
  EXPECT_TRUE(notifier_.Subscribe("tarn", kUser, P("a.b"), "C1"));
  EXPECT_TRUE(notifier_.Subscribe("tarn", kOther, P("a.b"), "c1"));
  EXPECT_TRUE(notifier_.Subscribe("Tarn", kUser, P("a.b"), "c1"));
  EXPECT_TRUE(notifier_.Subscribe("tarn", kUser, P("a"), "c1"));
  EXPECT_TRUE(notifier_.Subscribe("tarn", kUser, P(""), "c1"));
  // A key and an index that read alike are different paths.
  EXPECT_TRUE(notifier_.Subscribe("tarn", kUser, P("a.0"), "c1"));
  EXPECT_EQ(notifier_.Subscriptions().size(), 7u);

  EXPECT_TRUE(notifier_.Unsubscribe("tarn", kUser, P("a.b"), "c1"));
  EXPECT_FALSE(notifier_.Unsubscribe("tarn", kUser, P("a.b"), "c1"));
  EXPECT_FALSE(notifier_.Unsubscribe("tarn", kUser, P("a.b.c"), "C1"));
  EXPECT_EQ(notifier_.Subscriptions().size(), 6u);

  // The order of addition is kept.
  const auto subscriptions = notifier_.Subscriptions();
  EXPECT_EQ(subscriptions.front().channel, "C1");
  EXPECT_EQ(VelderPath::ToString(subscriptions.back().path), "a.0");

  EXPECT_TRUE(notifier_.UnsubscribeAll("c1"));
  EXPECT_FALSE(notifier_.UnsubscribeAll("c1"));
  ASSERT_EQ(notifier_.Subscriptions().size(), 1u);
  EXPECT_EQ(notifier_.Subscriptions()[0].channel, "C1");
  EXPECT_FALSE(notifier_.UnsubscribeAll(""));
  // IsSubscribed looks at product and user only, exactly.
  EXPECT_TRUE(notifier_.IsSubscribed("tarn", kUser));
  EXPECT_FALSE(notifier_.IsSubscribed("Tarn", kUser));
  EXPECT_FALSE(notifier_.IsSubscribed("tarn", "s-1-5-21-1"));
  EXPECT_TRUE(notifier_.UnsubscribeAll("C1"));
  EXPECT_FALSE(notifier_.IsSubscribed("tarn", kUser));
}

TEST_F(ChangeNotifierTest, TargetsAreMatchedByHivePrefixAndOrigin) {
  notifier_.Subscribe("tarn", kUser, P(""), "root");
  notifier_.Subscribe("tarn", kUser, P("a"), "a");
  notifier_.Subscribe("tarn", kUser, P("a.b"), "ab");
  notifier_.Subscribe("tarn", kUser, P("a.b.c"), "abc");
  notifier_.Subscribe("tarn", kUser, P("a.bc"), "a-bc");
  notifier_.Subscribe("tarn", kUser, P("list.0"), "list0");
  notifier_.Subscribe("tarn", kOther, P(""), "other-user");
  notifier_.Subscribe("mire", kUser, P(""), "other-product");

  struct Case {
    const char* path;
    const char* origin;
    Strings expected;
  };
  const Case cases[] = {
      {"a.b.c", "", {"a", "ab", "abc", "root"}},
      // A change of a parent does not concern a subscriber of a child.
      {"a.b", "", {"a", "ab", "root"}},
      {"a", "", {"a", "root"}},
      // Segments are compared, not characters.
      {"a.bc", "", {"a", "a-bc", "root"}},
      {"a.bcd", "", {"a", "root"}},
      {"list.0", "", {"list0", "root"}},
      {"list.00", "", {"list0", "root"}},
      {"list.1", "", {"root"}},
      {"", "", {"root"}},
      // The channel whose request made the change hears nothing of it.
      {"a.b.c", "ab", {"a", "abc", "root"}},
      {"a.b.c", "root", {"a", "ab", "abc"}},
      {"zzz", "root", {}},
      {"a.b.c", "AB", {"a", "ab", "abc", "root"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " from '" + c.origin + "'");
    EXPECT_EQ(SendValue(c.path, c.origin), c.expected);
  }
  EXPECT_EQ(SendValue("a", "", kOther), Strings{"other-user"});
  EXPECT_EQ(SendValue("a", "", "S-1-5-21-3"), Strings{});
  EXPECT_EQ(SendValue("a", "", kUser, "mire"), Strings{"other-product"});
  EXPECT_EQ(SendValue("a", "", kUser, "TARN"), Strings{});
}

TEST_F(ChangeNotifierTest, OverlappingSubscriptionsGiveOneMessageInUtf16Order) {
  // Added in an order unlike the sending order; "b" and "a" twice each.
  const Strings channels = {"b", "\xef\xbf\xbd", "a", "\xf0\x9f\x98\x80", "B", "a10", "a9"};
  for (const std::string& channel : channels) {
    notifier_.Subscribe("tarn", kUser, P("a"), channel);
    notifier_.Subscribe("tarn", kUser, P("a.b"), channel);
  }
  notifier_.Subscribe("tarn", kUser, P(""), "a");
  // U+1F600 is a surrogate pair in UTF-16 and sorts before U+FFFD there,
  // although its UTF-8 form sorts after.
  EXPECT_EQ(SendValue("a.b.c"), (Strings{"B", "a", "a10", "a9", "b", "\xf0\x9f\x98\x80", "\xef\xbf\xbd"}));
}

TEST_F(ChangeNotifierTest, EnvelopesCarryPathAndConvertedValue) {
  notifier_.Subscribe("tarn", kUser, P(""), "c1");
  struct Case {
    const char* name;
    std::optional<json> value;  // with `constraints` unset
    uint8_t kind;
    std::string bytes;
    std::optional<uint32_t> constraints;
  };
  const Case cases[] = {
      {"removed", std::nullopt, 0, "", {}},
      {"null", json(nullptr), 0, "", {}},
      {"true", json(true), 1, std::string(1, '\x01'), {}},
      {"false", json(false), 1, std::string(1, '\x00'), {}},
      {"negative", json(-2), 2, std::string("\xfe\xff\xff\xff\xff\xff\xff\xff", 8), {}},
      {"unsigned", json(uint64_t{0xffffffffffffffff}), 2, std::string(8, '\xff'), {}},
      {"float", json(2.9), 2, std::string("\x02\0\0\0\0\0\0\0", 8), {}},
      {"string", json("h\xc3\xa9"), 3, "h\xc3\xa9", {}},
      {"object", json::parse(R"({"b": [1, 2], "a": {}})"), 4, R"({"a":{},"b":[1,2]})", {}},
      {"array", json::array({"x", 1}), 4, R"(["x",1])", {}},
      // Constraint bits are zero-extended to 8 bytes.
      {"no constraints", {}, 2, std::string(8, '\0'), 0u},
      {"top bit", {}, 2, std::string("\0\0\0\x80\0\0\0\0", 8), 0x80000000u},
      {"all bits", {}, 2, std::string("\xff\xff\xff\xff\0\0\0\0", 8), 0xffffffffu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sender_->Clear();
    if (c.constraints) {
      notifier_.NotifyConstraints("tarn", kUser, P("s.list.3"), *c.constraints, "");
    } else {
      notifier_.Notify("tarn", kUser, P("s.list.3"), c.value, "");
    }
    notifier_.ProcessQueue();
    const auto calls = sender_->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].identity, "velder-test");
    const Envelope e = ReadEnvelope(calls[0].bytes);
    ASSERT_TRUE(e.valid);
    EXPECT_EQ(e.version, 1);
    EXPECT_EQ(e.type, c.constraints ? 16 : 15);
    EXPECT_EQ(e.result, 0u);
    EXPECT_EQ(e.name_space + e.user + e.client, "") << "the subscriber learns the path only";
    EXPECT_EQ(e.path, "s.list.3");
    EXPECT_EQ(e.value_kind, c.kind);
    EXPECT_EQ(e.value, c.bytes);
  }
}

TEST_F(ChangeNotifierTest, NotificationsAreSentInQueueOrderAndLogged) {
  notifier_.Subscribe("tarn", kUser, P(""), "c2");
  notifier_.Subscribe("tarn", kUser, P(""), "c1");
  notifier_.Notify("tarn", kUser, P("first"), json(1), "");
  notifier_.NotifyConstraints("tarn", kUser, P("second"), 2, "");
  notifier_.Notify("tarn", kUser, P("third"), std::nullopt, "");
  EXPECT_EQ(notifier_.QueuedCount(), 3u);
  LogCapture log;
  notifier_.ProcessQueue();
  EXPECT_EQ(notifier_.QueuedCount(), 0u);
  Strings sent;
  for (const auto& call : sender_->Calls()) sent.push_back(ReadEnvelope(call.bytes).path + "@" + call.channel);
  EXPECT_EQ(sent, (Strings{"first@c1", "first@c2", "second@c1", "second@c2", "third@c1", "third@c2"}));
  EXPECT_TRUE(log.Contains("ChangeNotifier::SendToChannels: [tarn/S-1-5-21-1]: first - Notification (2 listeners)"));
  EXPECT_TRUE(log.Contains("[tarn/S-1-5-21-1]: second - NotificationConstraints (2 listeners)"));
}

TEST_F(ChangeNotifierTest, ChangeWithoutListenersSendsAndLogsNothing) {
  notifier_.Subscribe("tarn", kUser, P("a.b"), "c1");
  notifier_.Subscribe("tarn", kOther, P(""), "c2");
  LogCapture log;
  notifier_.Notify("tarn", kUser, P("a"), json(1), "");
  notifier_.Notify("tarn", kUser, P("a.b"), json(1), "c1");
  notifier_.NotifyConstraints("tarn", "S-1-5-21-9", P(""), 1, "");
  notifier_.ProcessQueue();
  EXPECT_TRUE(sender_->Calls().empty());
  EXPECT_EQ(notifier_.QueuedCount(), 0u);
  EXPECT_FALSE(log.Contains("ChangeNotifier")) << log.Text();
}

TEST_F(ChangeNotifierTest, FailedChannelsAreDroppedAfterTheWholeNotification) {
  // "gone" sorts first; the channels after it must still get the message.
  for (const char* channel : {"slow", "gone", "fine"}) {
    notifier_.Subscribe("tarn", kUser, P("a"), channel);
  }
  notifier_.Subscribe("tarn", kOther, P(""), "gone");
  notifier_.Subscribe("mire", kUser, P("q"), "gone");
  sender_->SetResult("slow", NotificationSender::kTimedOut);
  sender_->SetResult("gone", 6);
  LogCapture log;
  EXPECT_EQ(SendValue("a.x"), (Strings{"fine", "gone", "slow"}));
  EXPECT_TRUE(log.Contains("ChangeNotifier::RemoveBadChannels: Bad channel 'gone'")) << log.Text();
  EXPECT_FALSE(log.Contains("Bad channel 'slow'"));
  // Every subscription of the gone channel is dropped, for every hive; a
  // time-out keeps the channel.
  for (const auto& s : notifier_.Subscriptions()) EXPECT_NE(s.channel, "gone");
  EXPECT_EQ(notifier_.Subscriptions().size(), 2u);
  EXPECT_FALSE(notifier_.IsSubscribed("tarn", kOther));
  EXPECT_EQ(SendValue("a.x"), (Strings{"fine", "slow"}));
  // Every result other than a time-out counts as gone.
  for (uint32_t result : {1u, 2u, 3u, 8u, 10u, 0xffffffffu}) {
    SCOPED_TRACE(result);
    notifier_.Subscribe("tarn", kOther, P(""), "c");
    sender_->SetResult("c", result);
    EXPECT_EQ(SendValue("a", "", kOther), Strings{"c"});
    EXPECT_FALSE(notifier_.IsSubscribed("tarn", kOther));
  }
}

TEST_F(ChangeNotifierTest, UnencodableNotificationIsDroppedAndLogged) {
  notifier_.Subscribe("tarn", kUser, P(""), "c1");
  // Invalid UTF-8 inside an object, not a number, too large for an integer, binary.
  for (const json& value : {json{{"k", "\xff\xfe"}}, json(std::nan("")), json(1e19), json::binary({1, 2, 3})}) {
    SCOPED_TRACE(value.type_name());
    sender_->Clear();
    LogCapture log;
    notifier_.Notify("tarn", kUser, P("a.b"), value, "");
    notifier_.ProcessQueue();
    EXPECT_TRUE(sender_->Calls().empty());
    EXPECT_TRUE(log.Contains("ChangeNotifier::SendToChannels: a.b: bad JSON")) << log.Text();
    EXPECT_FALSE(log.Contains("listeners"));
  }
  // Nor is a notification of an unknown kind sent; a null one is not queued.
  auto odd = std::make_shared<ChangeNotifier::Notification>();
  odd->kind = 5;
  odd->product = "tarn";
  odd->user = kUser;
  odd->path = P("a");
  LogCapture log;
  notifier_.Enqueue(odd);
  notifier_.Enqueue(nullptr);
  EXPECT_EQ(notifier_.QueuedCount(), 1u);
  notifier_.ProcessQueue();
  EXPECT_TRUE(log.Contains("unknown notification kind 5")) << log.Text();
  EXPECT_TRUE(sender_->Calls().empty());
  // Nothing else suffers: the subscription stays and the next change goes out.
  EXPECT_EQ(SendValue("a.b"), Strings{"c1"});
}

TEST_F(ChangeNotifierTest, QueuedNotificationsAreSnapshots) {
  notifier_.Subscribe("tarn", kUser, P(""), "c1");
  json value = {{"n", 1}};
  VelderPath::Path path = P("a.b");
  notifier_.Notify("tarn", kUser, path, value, "");
  value["n"] = 2;
  path.push_back(VelderPath::Element::MakeKey("c"));
  notifier_.ProcessQueue();
  ASSERT_EQ(sender_->Calls().size(), 1u);
  const Envelope e = ReadEnvelope(sender_->Calls()[0].bytes);
  EXPECT_EQ(e.path + " " + e.value, R"(a.b {"n":1})");
}

TEST(ChangeNotifierStartTest, StartNeedsASender) {
  platform::ManualResetEvent stop;
  ChangeNotifier notifier(stop, "velder-test", nullptr);
  LogCapture log;
  EXPECT_FALSE(notifier.Start());
  EXPECT_TRUE(log.Contains("No sender"));
  // Queueing still works; nothing is lost for a later notifier thread.
  notifier.Notify("tarn", kUser, P("a"), json(1), "");
  EXPECT_EQ(notifier.QueuedCount(), 1u);
  notifier.Join();
}

}  // namespace
