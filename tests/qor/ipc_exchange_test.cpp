// Requests, responses and notifications through the real library over real
// sockets: what the callback sees, what the client gets back, concurrency,
// time-outs, clients that leave, servers that stop, and one frame shared by
// several channels.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;

static_assert(sizeof(HvIpcSendOptions) == 24);
static_assert(offsetof(HvIpcSendOptions, timeout_ms) == 4);
static_assert(offsetof(HvIpcSendOptions, delivery) == 20);

using IpcExchange = IpcTest;

// A notification callback that requests or closes: ClientNotificationTest, through this library.
TEST_F(IpcExchange, RefusedThrowingOversizedOrSelfStoppingCallbacksBecomeStatusesNotHangs) {
  static const uint8_t dummy = 0;
  HvIpcServer* handle = nullptr;
  std::atomic<uint32_t> stop_result{HV_IPC_OK};
  TestServer server([&](uint32_t, std::string_view bytes, HvIpcMessage* m) -> uint32_t {
    if (bytes == "stop yourself") stop_result = HvIPC_StopServer(handle);
    if (bytes == "refuse-after-set") Respond(m, "x");
    if (bytes.starts_with("refuse")) return 1;
    if (bytes == "throw") throw std::runtime_error("callback failure");
    if (bytes == "nothing") return 0;
    if (bytes.starts_with("too-large")) {
      // The size is checked before a byte is read.
      EXPECT_EQ(HvIPC_MessageSetResponse(m, &dummy, HV_IPC_MAX_PAYLOAD + 1), uint32_t{HV_IPC_TOO_LARGE});
      if (bytes == "too-large-then-fine") Respond(m, "ok");
      return 0;
    }
    if (bytes == "last-wins") {
      Respond(m, "first");
      Respond(m, "second");
      return 0;
    }
    return 7;  // any non-zero result means "not handled"
  });
  handle = server.handle();
  TestClient client;
  ASSERT_TRUE(Up(server, client));
  const std::string not_handled = "status " + std::to_string(HV_IPC_NOT_HANDLED);
  const std::pair<const char*, std::string> cases[] = {
      {"refuse", not_handled}, {"refuse-after-set", not_handled}, {"throw", not_handled}, {"nothing", ""},
      {"too-large", "status " + std::to_string(HV_IPC_TOO_LARGE)}, {"too-large-then-fine", "ok"},
      {"stop yourself", not_handled}, {"last-wins", "second"}, {"other", not_handled},  // still serving
  };
  for (const auto& [request, answer] : cases) EXPECT_EQ(client.Ask(request), answer) << request;
  EXPECT_EQ(stop_result.load(), uint32_t{HV_IPC_WRONG_THREAD});
}

// The service's flags ask for a pool: callbacks of one connection run at once.
TEST_F(IpcExchange, PipelinedRequestsRunTheirCallbacksAtOnce) {
  constexpr int kRequests = 6;
  std::mutex mu;
  std::condition_variable cv;
  int running = 0, most = 0;
  TestServer server(
      [&](uint32_t, std::string_view bytes, HvIpcMessage* m) {
        std::unique_lock lock(mu);
        most = std::max(most, ++running);
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return most >= kRequests; });  // everybody waits until all are inside
        --running;
        lock.unlock();
        return TestServer::Echo(1, bytes, m);
      },
      kRequests);
  TestClient client;  // one connection, requests pipelined on it
  ASSERT_TRUE(Up(server, client));
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < kRequests; ++i) {
    answers.push_back(std::async(std::launch::async, [&, i] { return client.Ask("request " + std::to_string(i)); }));
  }
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(answers[i].get(), "request " + std::to_string(i));
  EXPECT_EQ(most, kRequests);
}

TEST_F(IpcExchange, LateAnswersToATimedOutRequestOrAClientThatLeftAreDropped) {
  ManualResetEvent entered, open, answered;
  std::atomic<uint32_t> set_result{HV_IPC_ERROR};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) -> uint32_t {
    if (bytes == "slow") open.Wait(10s);
    if (bytes != "leave") return TestServer::Echo(kind, bytes, m);
    entered.Set();
    open.Wait(10s);
    EXPECT_NE(std::string(HvIPC_MessageGetSenderChannel(m)), "");  // usable although its client is gone
    set_result = Respond(m, "late");
    answered.Set();
    return 0;
  });
  TestClient client, leaving;
  ASSERT_TRUE(Up(server, client, leaving));
  std::string response = "untouched";
  EXPECT_EQ(client.Request(1, "slow", &response, 50), uint32_t{HV_IPC_TIMEOUT});
  EXPECT_EQ(response, "");
  auto request = std::async(std::launch::async, [&] { return leaving.Ask("leave"); });
  ASSERT_TRUE(entered.Wait(10s));
  leaving.Close();  // closing while the request waits makes it fail at once
  EXPECT_EQ(request.get(), "status " + std::to_string(HV_IPC_DISCONNECTED));
  open.Set();  // both late answers arrive now and must be dropped
  ASSERT_TRUE(answered.Wait(10s));
  EXPECT_EQ(set_result.load(), uint32_t{HV_IPC_OK});
  for (int i = 0; i < 20; ++i) EXPECT_EQ(client.Ask("fast" + std::to_string(i)), "fast" + std::to_string(i));
}

TEST_F(IpcExchange, NotificationsReachTheChannelInOrderAndBadSendsAreRefused) {
  TestServer server;
  TestClient a, b;
  ASSERT_TRUE(Up(server, a, b));
  const HvIpcSendOptions wait = Options(2000), queue = Options(2000, HV_IPC_DELIVERY_QUEUED);
  EXPECT_EQ(Send(a.channel(), "one", &wait), HV_IPC_OK);
  EXPECT_EQ(Send(a.channel(), std::string("t\0o", 3), &queue), HV_IPC_OK);
  EXPECT_EQ(Send(a.channel(), "", nullptr, kIdentity, 9), HV_IPC_OK);  // default options
  EXPECT_EQ(Send(b.channel(), "for b", &wait), HV_IPC_OK);
  using Notes = std::vector<std::pair<uint32_t, std::string>>;
  EXPECT_EQ(a.WaitForNotifications(3), (Notes{{1, "one"}, {1, std::string("t\0o", 3)}, {9, ""}}));
  EXPECT_EQ(b.WaitForNotifications(1), (Notes{{1, "for b"}}));

  HvIpcSendOptions short_record = Options(2000);
  short_record.size = 4;
  const uint8_t byte = 0;
  const std::string ch = a.channel();
  const struct {
    const char* name;
    uint32_t result, expected;
  } refused[] = {
      {"other identity", Send(ch, "x", &wait, "other_identity"), HV_IPC_NOT_FOUND},
      {"frame kind 2", HvIPC_Send(kIdentity, ch.c_str(), 2, 1, &byte, 1, nullptr, &wait), HV_IPC_INVALID_PARAMETER},
      {"reply wanted", HvIPC_Send(kIdentity, ch.c_str(), 3, 1, &byte, 1, &short_record, &wait),
       HV_IPC_INVALID_PARAMETER},
      {"null channel", HvIPC_Send(kIdentity, nullptr, 3, 1, &byte, 1, nullptr, &wait), HV_IPC_INVALID_PARAMETER},
      {"null bytes", HvIPC_Send(kIdentity, ch.c_str(), 3, 1, nullptr, 1, nullptr, &wait), HV_IPC_INVALID_PARAMETER},
      {"options too short", Send(ch, "x", &short_record), HV_IPC_INVALID_PARAMETER},
      {"too large", HvIPC_Send(kIdentity, ch.c_str(), 3, 1, &byte, HV_IPC_MAX_FRAME_BODY, nullptr, &wait),
       HV_IPC_TOO_LARGE},
  };
  for (const auto& r : refused) EXPECT_EQ(r.result, r.expected) << r.name;
  EXPECT_EQ(a.WaitForNotifications(3).size(), 3u) << "a refused send arrived";
}

TEST_F(IpcExchange, ClientThatDoesNotReadOnlyDelaysSendsToItself) {
  TestServer server;
  RawSocket stuck(dir_.SocketPath());
  const std::string stuck_channel = stuck.ReadHello();
  TestClient healthy;
  ASSERT_TRUE(Up(server, healthy));
  ASSERT_FALSE(stuck_channel.empty());
  // Fill the socket and the queue of the client that never reads; sends that
  // only queue fill the bounded queue and then time out as well; without
  // waiting at all the answer comes at once.
  const std::string chunk(64 * 1024, 'n');
  const HvIpcSendOptions patient = Options(100), queued = Options(50, HV_IPC_DELIVERY_QUEUED), no_wait = Options(0);
  int delivered = 0;
  uint32_t rc = HV_IPC_OK;
  for (; rc == HV_IPC_OK && delivered < 1000; delivered += rc == HV_IPC_OK) rc = Send(stuck_channel, chunk, &patient);
  EXPECT_EQ(rc, uint32_t{HV_IPC_TIMEOUT});
  EXPECT_GT(delivered, 0);
  rc = HV_IPC_OK;
  for (int i = 0; i < 1000 && rc == HV_IPC_OK; ++i) rc = Send(stuck_channel, chunk, &queued);
  EXPECT_EQ(rc, uint32_t{HV_IPC_TIMEOUT});
  EXPECT_EQ(Send(stuck_channel, "x", &no_wait), uint32_t{HV_IPC_TIMEOUT});
  // Meanwhile everybody else is served.
  EXPECT_EQ(healthy.Ask("fine"), "fine");
  EXPECT_EQ(Send(healthy.channel(), "note", &patient), HV_IPC_OK);
  EXPECT_EQ(healthy.WaitForNotifications(1).at(0).second, "note");
  // The slow channel was kept: once it reads, every frame it gets is whole
  // and a new send goes through.
  std::thread drain([&] {
    uint8_t kind;
    std::string body;
    while (stuck.ReadFrame(&kind, &body, 2000) && body != U32(1) + "last") {
      EXPECT_EQ(kind, HV_IPC_FRAME_NOTIFICATION);
      EXPECT_EQ(body.size(), 4 + chunk.size());
    }
  });
  const HvIpcSendOptions generous = Options(10000);
  EXPECT_EQ(Send(stuck_channel, "last", &generous), HV_IPC_OK);
  drain.join();
}

TEST_F(IpcExchange, StopWaitsForRunningCallbacksAndStartsNoMore) {
  std::atomic<int> started{0}, finished{0};
  ManualResetEvent entered;
  TestServer server(
      [&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
        ++started;
        entered.Set();
        std::this_thread::sleep_for(200ms);
        ++finished;
        return TestServer::Echo(kind, bytes, m);
      },
      1);  // one thread: the rest waits in the queue
  TestClient client;
  ASSERT_TRUE(Up(server, client));
  std::vector<std::future<std::string>> requests;
  for (int i = 0; i < 4; ++i) requests.push_back(std::async(std::launch::async, [&] { return client.Ask("x"); }));
  ASSERT_TRUE(entered.Wait(10s));
  EXPECT_EQ(server.Stop(), HV_IPC_OK);
  const int started_at_stop = started;
  EXPECT_EQ(finished.load(), started_at_stop);  // nothing runs any more
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(started.load(), started_at_stop);  // and nothing started later
  int disconnected = 0;
  for (auto& r : requests) disconnected += r.get() == "status " + std::to_string(HV_IPC_DISCONNECTED);
  EXPECT_GE(disconnected, 3);
  // The socket is gone and a client now finds no server.
  EXPECT_FALSE(std::filesystem::exists(dir_.SocketPath()));
  EXPECT_EQ(TestClient().result(), uint32_t{HV_IPC_NOT_FOUND});
}

TEST_F(IpcExchange, ClientsComingAndGoingWhileNotifiedAndStopped) {
  // Requests named "racing-..." hold their callback a little and are noted,
  // so that a client can be closed while one of its requests surely waits.
  std::mutex mu;
  std::condition_variable entered_cv;
  std::set<std::string> entered;
  std::vector<std::string> channels;
  auto server = std::make_unique<TestServer>([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    if (bytes.starts_with("racing-")) {
      {
        std::lock_guard lock(mu);
        entered.insert(std::string(bytes));
      }
      entered_cv.notify_all();
      std::this_thread::sleep_for(20ms);
    }
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_TRUE(Up(*server));
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0};
  const std::string disconnected = "status " + std::to_string(HV_IPC_DISCONNECTED);
  std::vector<std::thread> workers;
  for (int t = 0; t < 6; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < 30 && !done; ++round) {
        TestClient client;
        if (client.result() != HV_IPC_OK) {
          unexpected += !done;  // only once the server is stopping may a connection fail
          continue;
        }
        {
          std::lock_guard lock(mu);
          channels.push_back(client.channel());
        }
        for (int i = 0; i < 5; ++i) {
          const std::string payload = std::to_string(t) + "/" + std::to_string(round) + "/" + std::to_string(i);
          const std::string answer = client.Ask(payload);
          unexpected += answer != payload && (answer != disconnected || !done);
        }
        if (round % 3 != 0) continue;
        // Close while another thread waits for an answer.
        const std::string racing = "racing-" + std::to_string(t) + "-" + std::to_string(round);
        std::thread asker([&] {
          const std::string answer = client.Ask(racing);
          unexpected += answer != racing && answer != disconnected;
        });
        {
          std::unique_lock lock(mu);
          entered_cv.wait_for(lock, 5s, [&] { return entered.count(racing) > 0 || done; });
        }
        client.Close();
        asker.join();
      }
    });
  }
  std::thread notifier([&] {
    const HvIpcSendOptions options = Options(200);
    for (size_t next = 0; !done;) {
      std::string channel;
      {
        std::lock_guard lock(mu);
        if (!channels.empty()) channel = channels[next++ % channels.size()];
      }
      const uint32_t rc = channel.empty() ? uint32_t{HV_IPC_OK} : Send(channel, "tick", &options);
      unexpected += rc != HV_IPC_OK && rc != HV_IPC_NOT_FOUND && rc != HV_IPC_DISCONNECTED && rc != HV_IPC_TIMEOUT;
    }
  });
  std::this_thread::sleep_for(300ms);
  done = true;
  server.reset();  // stops while clients and the notifier are busy
  for (auto& w : workers) w.join();
  notifier.join();
  EXPECT_EQ(unexpected.load(), 0);
}

TEST_F(IpcExchange, ArgumentsAndSizesOfClientsAndMessagesAreChecked) {
  HvIpcClient* client = reinterpret_cast<HvIpcClient*>(0x1);
  EXPECT_EQ(HvIPC_ClientConnect(&client, kIdentity, kService, 100, nullptr, nullptr), uint32_t{HV_IPC_NOT_FOUND});
  EXPECT_EQ(client, nullptr);
  // Names are checked as a server's are (IpcServer.BadArgumentsAreRefusedAndLeaveNoHandle).
  EXPECT_EQ(HvIPC_ClientConnect(&client, "..", kService, 100, nullptr, nullptr), uint32_t{HV_IPC_INVALID_PARAMETER});
  EXPECT_EQ(HvIPC_ClientConnect(&client, kIdentity, "a/b", 100, nullptr, nullptr), uint32_t{HV_IPC_INVALID_PARAMETER});
  EXPECT_EQ(HvIPC_ClientConnect(nullptr, kIdentity, kService, 100, nullptr, nullptr), uint32_t{HV_IPC_INVALID_PARAMETER});
  TestServer server;
  TestClient ok;
  ASSERT_TRUE(Up(server, ok));
  uint8_t* response = nullptr;
  uint32_t count = 0;
  const uint8_t byte = 0;
  EXPECT_EQ(HvIPC_ClientRequest(nullptr, 1, nullptr, 0, 100, &response, &count), uint32_t{HV_IPC_INVALID_PARAMETER});
  EXPECT_EQ(HvIPC_ClientRequest(ok.handle(), 1, nullptr, 3, 100, &response, &count), uint32_t{HV_IPC_INVALID_PARAMETER});
  EXPECT_EQ(HvIPC_ClientRequest(ok.handle(), 1, &byte, HV_IPC_MAX_REQUEST_PAYLOAD + 1, 100, &response, &count),
            uint32_t{HV_IPC_TOO_LARGE});
  // The largest request and its answer arrive whole. (Kinds, binary and empty payloads pass through in every
  // other test; a request's kind: Import.LateboundBaseIsCopiedAtTheStartReloadedByAnAdministrator...)
  std::string big(HV_IPC_MAX_REQUEST_PAYLOAD, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  std::string echoed;
  EXPECT_EQ(ok.Request(1, big, &echoed), HV_IPC_OK);
  EXPECT_EQ(echoed, big);
  // An empty answer is a null buffer.
  EXPECT_EQ(HvIPC_ClientRequest(ok.handle(), 1, nullptr, 0, 1000, &response, &count), HV_IPC_OK);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(HvIPC_ClientGetChannel(nullptr), "");
  EXPECT_EQ(HvIPC_StopServer(nullptr), uint32_t{HV_IPC_INVALID_PARAMETER});
  HvIPC_ClientClose(nullptr);
  // Null message handles are answered, not dereferenced; what a real message
  // tells of its sender is pinned end to end (integration/client_rights_test).
  EXPECT_EQ(HvIPC_MessageIsClientAdmin(nullptr), 0);
  EXPECT_EQ(HvIPC_MessageGetClientSID(nullptr), nullptr);
  EXPECT_STREQ(HvIPC_MessageGetSenderChannel(nullptr), "");
  EXPECT_EQ(HvIPC_MessageSetResponse(nullptr, nullptr, 0), uint32_t{HV_IPC_INVALID_PARAMETER});
  HvIPC_MessageFreeSID(nullptr);
}

// The client's reading hand-over: a caller reads its own answer while it is
// alone, the reading thread otherwise.
TEST_F(IpcExchange, ConcurrentAndLoneCallersGetTheirOwnAnswersAndEveryNotification) {
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

TEST_F(IpcExchange, OneNotificationToManyChannelsReportsEachChannel) {
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
