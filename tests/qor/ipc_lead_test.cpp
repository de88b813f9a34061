// The client's reading hand-over (a caller reads its own answer while it is
// alone, the reading thread otherwise) and the server's one frame shared by
// several channels, against the real library over real sockets.
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
using IpcLead = IpcTest;

TEST_F(IpcLead, ConcurrentAndLoneCallersGetTheirOwnAnswersAndEveryNotification) {
  // Every request first sends a notification with the same bytes to its sender.
  TestServer server([](uint32_t kind, std::string_view bytes, HvIpcMessage* m) -> uint32_t {
    const HvIpcSendOptions queue_or_close = Options(2000, HV_IPC_DELIVERY_QUEUE_OR_CLOSE);
    if (Send(HvIPC_MessageGetSenderChannel(m), bytes, &queue_or_close) != HV_IPC_OK) return 1;
    return TestServer::Echo(kind, bytes, m);
  });
  TestClient client;
  ASSERT_TRUE(Up(server, client));
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
        wrong += client.Ask(payload) != payload;
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
  EXPECT_EQ(client.Ask("alone"), "alone");
  const auto more = client.WaitForNotifications(notes.size() + 2);
  ASSERT_EQ(more.size(), notes.size() + 2);
  EXPECT_EQ(more[notes.size()].second, "unasked");
}

TEST_F(IpcLead, ConnectionEndingWhileTheCallerReadsFailsItsRequestAndTellsTheCallback) {
  ManualResetEvent inside, release;
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    inside.Set();
    release.Wait(10s);
    return TestServer::Echo(kind, bytes, m);
  });
  TestClient client;
  ASSERT_TRUE(Up(server, client));
  std::this_thread::sleep_for(10ms);  // the reading thread has let go: the caller reads
  auto request = std::async(std::launch::async, [&] {
    std::string response;
    return client.Request(1, "never answered", &response, 0);
  });
  ASSERT_TRUE(inside.Wait(10s));
  // Stop shuts every connection down first, then waits for the callback.
  auto stop = std::async(std::launch::async, [&] { return server.Stop(); });
  EXPECT_EQ(request.get(), uint32_t{HV_IPC_DISCONNECTED});
  release.Set();
  EXPECT_EQ(stop.get(), HV_IPC_OK);
  const auto notes = client.WaitForNotifications(1);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].first, uint32_t{HV_IPC_KIND_DISCONNECTED});
  EXPECT_EQ(client.Ask("after"), "status " + std::to_string(HV_IPC_DISCONNECTED));
}

TEST_F(IpcLead, OneNotificationToManyChannelsReportsEachChannel) {
  TestServer server;
  TestClient a, b;
  ASSERT_TRUE(Up(server, a, b));
  const std::string ca = a.channel(), cb = b.channel();
  const char* channels[] = {ca.c_str(), "no-such-channel", cb.c_str()};
  const HvIpcSendOptions options = Options(2000, HV_IPC_DELIVERY_QUEUE_OR_CLOSE);
  const std::string bytes("sh\0red", 6);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  uint32_t results[3] = {99, 99, 99};
  ASSERT_EQ(HvIPC_SendToChannels(kIdentity, channels, 3, HV_IPC_SEND_NOTIFICATION, 5, data, 6, &options, results),
            HV_IPC_OK);
  EXPECT_EQ(std::vector<uint32_t>(results, results + 3), (std::vector<uint32_t>{HV_IPC_OK, HV_IPC_NOT_FOUND, HV_IPC_OK}));
  for (TestClient* c : {&a, &b}) EXPECT_EQ(c->WaitForNotifications(1), (decltype(c->WaitForNotifications(1)){{5u, bytes}}));
  // Refused as a whole: no result is touched.
  results[0] = 99;
  EXPECT_EQ(HvIPC_SendToChannels(kIdentity, channels, 3, HV_IPC_SEND_NOTIFICATION, HV_IPC_KIND_DISCONNECTED, data, 6,
                                 &options, results),
            HV_IPC_INVALID_PARAMETER);
  EXPECT_EQ(HvIPC_SendToChannels(kIdentity, nullptr, 3, HV_IPC_SEND_NOTIFICATION, 5, nullptr, 0, &options, results),
            HV_IPC_INVALID_PARAMETER);
  EXPECT_EQ(results[0], 99u);
}

}  // namespace
