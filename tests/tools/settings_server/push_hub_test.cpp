#include "push_hub.h"

#include <gtest/gtest.h>

#include <thread>

namespace settings_server {
namespace {

using namespace std::chrono_literals;

std::string Next(PushStream& stream, std::chrono::milliseconds wait = 2s) {
  std::string text;
  const auto next = stream.Wait(text, wait);
  if (next == PushStream::Next::kClosed) return "(closed)";
  if (next == PushStream::Next::kIdle) return "(idle)";
  return text;
}

TEST(PushHubTest, StreamsGetTheirIdFirstThenTheirClientsMessagesInOrder) {
  PushHub hub(10s);
  const ClientKey a{"m", "S-1-5-18"}, b{"m", "S-1-22-1-1000"};
  auto a1 = hub.Open(a, "pa"), a2 = hub.Open(a, "pa"), b1 = hub.Open(b, "pb");
  EXPECT_EQ(hub.Publish(a, {{"n", 1}}), 2u);
  EXPECT_EQ(hub.Publish(a, {{"n", 2}}), 2u);
  for (auto* s : {a1.get(), a2.get()}) {
    EXPECT_EQ(Next(*s), "event: pns_id\ndata: pa\n\n");
    EXPECT_EQ(Next(*s), "event: message\ndata: {\"n\":1}\n\n");
    EXPECT_EQ(Next(*s), "event: message\ndata: {\"n\":2}\n\n");
  }
  EXPECT_EQ(Next(*b1), "event: pns_id\ndata: pb\n\n");
  EXPECT_EQ(Next(*b1, 50ms), "(idle)");
  // A published text never breaks the one-line data field.
  hub.Publish(b, {{"text", "line\nbreak"}});
  EXPECT_EQ(Next(*b1), "event: message\ndata: {\"text\":\"line\\nbreak\"}\n\n");
}

TEST(PushHubTest, KeepAliveOverrunAndShutdown) {
  PushHub hub(100ms);
  const ClientKey a{"m", "S-1-5-18"};
  auto stream = hub.Open(a, "p");
  EXPECT_EQ(Next(*stream), "event: pns_id\ndata: p\n\n");
  EXPECT_EQ(Next(*stream, 1s), PushHub::kKeepAlive);

  // A client that does not read is closed instead of growing its queue.
  auto slow = hub.Open(a, "p");
  for (size_t i = 0; i < PushHub::kMaxQueuedEvents; ++i) hub.Publish(a, {{"n", i}});
  EXPECT_EQ(Next(*slow), "(closed)");

  while (Next(*stream, 0ms) != "(idle)") {
  }
  // A waiting stream wakes when the hub shuts down (else the wait outlasts the test's time-out).
  std::thread waiter([&] {
    std::string text;
    while (stream->Wait(text, 1h) == PushStream::Next::kEvent) {
    }
  });
  std::this_thread::sleep_for(20ms);
  hub.Shutdown();
  waiter.join();
  EXPECT_EQ(hub.Open(a, "p"), nullptr);
  hub.Remove(stream);
  hub.Remove(slow);
  EXPECT_TRUE(hub.WaitUntilEmpty(0ms));
}

}  // namespace
}  // namespace settings_server
