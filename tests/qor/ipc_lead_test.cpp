// The client's reading hand-over (a caller reads its own answer while it is
// alone, the reading thread otherwise) and the server's one frame shared by
// several channels, against the real library over real sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
using namespace std::chrono_literals;

// Every request first sends a notification with the same bytes to its sender.
uint32_t NotifyThenEcho(uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
  const HvIpcSendOptions queue_or_close = Options(2000, HV_IPC_DELIVERY_QUEUE_OR_CLOSE);
  if (Send(HvIPC_MessageGetSenderChannel(m), bytes, &queue_or_close) != HV_IPC_OK) return 1;
  return TestServer::Echo(kind, bytes, m);
}

TEST(IpcLead, ConcurrentAndLoneCallersGetTheirOwnAnswersAndEveryNotification) {
  ScopedIpcDir dir;
  TestServer server(NotifyThenEcho);
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  constexpr int kThreads = 4, kRequests = 150;
  std::vector<std::future<int>> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.push_back(std::async(std::launch::async, [&, t] {
      int wrong = 0;
      for (int i = 0; i < kRequests; ++i) {
        // Pauses now and then, so that callers find the lead free, held by
        // another caller, or taken back by the reading thread.
        if (i % (t + 7) == 0) std::this_thread::sleep_for(3ms);
        const std::string payload = std::to_string(t) + "/" + std::to_string(i);
        std::string response;
        if (client.Request(1, payload, &response) != HV_IPC_OK || response != payload) ++wrong;
      }
      return wrong;
    }));
  }
  for (auto& w : workers) EXPECT_EQ(w.get(), 0);
  const auto notes = client.WaitForNotifications(kThreads * kRequests);
  ASSERT_EQ(notes.size(), size_t{kThreads * kRequests});
  std::set<std::string> distinct;
  for (const auto& [kind, bytes] : notes) distinct.insert(bytes);
  EXPECT_EQ(distinct.size(), notes.size());

  // A lone caller after a quiet spell, with notifications in between.
  std::this_thread::sleep_for(10ms);
  const HvIpcSendOptions queue = Options(2000, HV_IPC_DELIVERY_QUEUED);
  ASSERT_EQ(Send(client.channel(), "unasked", &queue), HV_IPC_OK);
  std::string response;
  EXPECT_EQ(client.Request(1, "alone", &response), HV_IPC_OK);
  EXPECT_EQ(response, "alone");
  const auto more = client.WaitForNotifications(notes.size() + 2);
  ASSERT_EQ(more.size(), notes.size() + 2);
  EXPECT_EQ(more[notes.size()].second, "unasked");
}

TEST(IpcLead, ConnectionEndingWhileTheCallerReadsFailsItsRequestAndTellsTheCallback) {
  ScopedIpcDir dir;
  std::mutex mu;
  std::condition_variable cv;
  bool inside = false, release = false;
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    std::unique_lock lock(mu);
    inside = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  std::this_thread::sleep_for(10ms);  // the reading thread has let go: the caller reads
  auto request = std::async(std::launch::async, [&] {
    std::string response;
    return client.Request(1, "never answered", &response, 0);
  });
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return inside; });
  }
  // Stop shuts every connection down first, then waits for the callback.
  auto stop = std::async(std::launch::async, [&] { return server.Stop(); });
  EXPECT_EQ(request.get(), HV_IPC_DISCONNECTED);
  {
    std::lock_guard lock(mu);
    release = true;
  }
  cv.notify_all();
  EXPECT_EQ(stop.get(), HV_IPC_OK);
  const auto notes = client.WaitForNotifications(1);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].first, uint32_t{HV_IPC_KIND_DISCONNECTED});
  std::string response;
  EXPECT_EQ(client.Request(1, "after", &response), HV_IPC_DISCONNECTED);
}

TEST(IpcLead, OneNotificationToManyChannelsReportsEachChannel) {
  ScopedIpcDir dir;
  TestServer server;
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient a, b;
  ASSERT_EQ(a.result(), HV_IPC_OK);
  ASSERT_EQ(b.result(), HV_IPC_OK);
  const std::string ca = a.channel(), cb = b.channel();
  const char* channels[] = {ca.c_str(), "no-such-channel", cb.c_str()};
  const HvIpcSendOptions options = Options(2000, HV_IPC_DELIVERY_QUEUE_OR_CLOSE);
  const std::string bytes("sh\0red", 6);
  uint32_t results[3] = {99, 99, 99};
  ASSERT_EQ(HvIPC_SendToChannels(kIdentity, channels, 3, HV_IPC_SEND_NOTIFICATION, 5,
                                 reinterpret_cast<const uint8_t*>(bytes.data()), 6, &options, results),
            HV_IPC_OK);
  EXPECT_EQ(results[0], uint32_t{HV_IPC_OK});
  EXPECT_EQ(results[1], uint32_t{HV_IPC_NOT_FOUND});
  EXPECT_EQ(results[2], uint32_t{HV_IPC_OK});
  for (TestClient* c : {&a, &b}) {
    const auto notes = c->WaitForNotifications(1);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], std::make_pair(5u, bytes));
  }
  // Refused as a whole: no result is touched.
  results[0] = 99;
  EXPECT_EQ(HvIPC_SendToChannels(kIdentity, channels, 3, HV_IPC_SEND_NOTIFICATION, HV_IPC_KIND_DISCONNECTED,
                                 reinterpret_cast<const uint8_t*>(bytes.data()), 6, &options, results),
            HV_IPC_INVALID_PARAMETER);
  EXPECT_EQ(HvIPC_SendToChannels(kIdentity, nullptr, 3, HV_IPC_SEND_NOTIFICATION, 5, nullptr, 0, &options, results),
            HV_IPC_INVALID_PARAMETER);
  EXPECT_EQ(results[0], 99u);
}

}  // namespace
