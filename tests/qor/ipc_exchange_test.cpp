// Requests, responses and notifications through the real library over real
// sockets: what the callback sees, what the client gets back, concurrency,
// time-outs, clients that leave and servers that stop.
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
using namespace std::chrono_literals;

static_assert(sizeof(HvIpcSendOptions) == 24);
static_assert(offsetof(HvIpcSendOptions, timeout_ms) == 4);
static_assert(offsetof(HvIpcSendOptions, delivery) == 20);

// True once sends to `channel` stop succeeding and say why: the channel is
// gone (never 0, never another error).
bool ChannelGone(const std::string& channel) {
  const HvIpcSendOptions wait = Options(2000);
  uint32_t rc = HV_IPC_OK;
  for (int i = 0; i < 400 && (rc == HV_IPC_OK || rc == HV_IPC_TIMEOUT); ++i) {
    rc = Send(channel, "late", &wait);
    if (rc == HV_IPC_OK) std::this_thread::sleep_for(5ms);  // the server has not seen the close yet
  }
  return rc == HV_IPC_NOT_FOUND || rc == HV_IPC_DISCONNECTED;
}

TEST(IpcExchange, ResponsesCarryWhatTheCallbackSetForEveryKindAndSize) {
  ScopedIpcDir dir;
  std::atomic<uint32_t> last_kind{0};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    last_kind = kind;
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);

  std::string binary("\0\1\2\xff\0", 5);
  std::string big(HV_IPC_MAX_REQUEST_PAYLOAD, 'x');  // the largest request
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  const struct {
    uint32_t kind;
    std::string payload;
  } cases[] = {{1, ""}, {1, "a"}, {2, binary}, {77, "kind passes through"}, {1, big}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << ", " << c.payload.size() << " bytes");
    std::string response = "stale";
    ASSERT_EQ(client.Request(c.kind, c.payload, &response), HV_IPC_OK);
    EXPECT_EQ(response, c.payload);
    EXPECT_EQ(last_kind.load(), c.kind);
  }
}

TEST(IpcExchange, RefusedThrowingOrOversizedAnswersBecomeStatusesNotHangs) {
  ScopedIpcDir dir;
  TestServer server([](uint32_t, std::string_view bytes, HvIpcMessage* m) -> uint32_t {
    static const uint8_t dummy = 0;
    if (bytes == "refuse") return 1;
    if (bytes == "refuse-after-set") {
      HvIPC_MessageSetResponse(m, &dummy, 1);
      return 1;
    }
    if (bytes == "throw") throw std::runtime_error("callback failure");
    if (bytes == "nothing") return 0;
    if (bytes == "too-large") {
      // The size is checked before a byte is read.
      EXPECT_EQ(HvIPC_MessageSetResponse(m, &dummy, HV_IPC_MAX_PAYLOAD + 1), static_cast<uint32_t>(HV_IPC_TOO_LARGE));
      return 0;
    }
    if (bytes == "too-large-then-fine") {
      HvIPC_MessageSetResponse(m, &dummy, HV_IPC_MAX_PAYLOAD + 1);
      HvIPC_MessageSetResponse(m, reinterpret_cast<const uint8_t*>("ok"), 2);
      return 0;
    }
    if (bytes == "last-wins") {
      HvIPC_MessageSetResponse(m, reinterpret_cast<const uint8_t*>("first"), 5);
      HvIPC_MessageSetResponse(m, reinterpret_cast<const uint8_t*>("second"), 6);
      return 0;
    }
    return 7;  // any non-zero result means "not handled"
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  const struct {
    const char* request;
    uint32_t status;
    const char* response;
  } cases[] = {
      {"refuse", HV_IPC_NOT_HANDLED, ""},  {"refuse-after-set", HV_IPC_NOT_HANDLED, ""},
      {"throw", HV_IPC_NOT_HANDLED, ""},   {"nothing", HV_IPC_OK, ""},
      {"too-large", HV_IPC_TOO_LARGE, ""}, {"too-large-then-fine", HV_IPC_OK, "ok"},
      {"last-wins", HV_IPC_OK, "second"},  {"other", HV_IPC_NOT_HANDLED, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    std::string response = "stale";
    EXPECT_EQ(client.Request(1, c.request, &response), c.status);
    if (c.status == HV_IPC_OK) {
      EXPECT_EQ(response, c.response);
    }
  }
  // The server still serves after all of that.
  std::string response;
  EXPECT_EQ(client.Request(1, "other", &response), static_cast<uint32_t>(HV_IPC_NOT_HANDLED));
}

TEST(IpcExchange, CallbackLearnsTheSendersIdentityAndChannel) {
  ScopedIpcDir dir;
  TestServer server([](uint32_t, std::string_view, HvIpcMessage* m) {
    char* sid = HvIPC_MessageGetClientSID(m);
    std::string answer = std::to_string(HvIPC_MessageIsClientAdmin(m)) + "|" + (sid ? sid : "(null)") + "|" +
                         HvIPC_MessageGetSenderChannel(m);
    HvIPC_MessageFreeSID(sid);
    HvIPC_MessageSetResponse(m, reinterpret_cast<const uint8_t*>(answer.data()), static_cast<uint32_t>(answer.size()));
    return 0;
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient a, b;
  ASSERT_EQ(a.result(), HV_IPC_OK);
  ASSERT_EQ(b.result(), HV_IPC_OK);
  EXPECT_NE(a.channel(), b.channel());
  EXPECT_EQ(a.channel().rfind(std::to_string(::getpid()) + ".", 0), 0u) << a.channel();
  for (TestClient* c : {&a, &b}) {
    std::string response;
    ASSERT_EQ(c->Request(1, "who", &response), HV_IPC_OK);
    const bool root = ::geteuid() == 0;
    EXPECT_EQ(response, std::string(root ? "1|S-1-5-18|" : "0|S-1-22-1-" + std::to_string(::geteuid()) + "|") +
                            c->channel());
  }
  // Null handles are answered, not dereferenced.
  EXPECT_EQ(HvIPC_MessageIsClientAdmin(nullptr), 0);
  EXPECT_EQ(HvIPC_MessageGetClientSID(nullptr), nullptr);
  EXPECT_STREQ(HvIPC_MessageGetSenderChannel(nullptr), "");
  EXPECT_EQ(HvIPC_MessageSetResponse(nullptr, nullptr, 0), static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
  HvIPC_MessageFreeSID(nullptr);
}

TEST(IpcExchange, PoolRunsCallbacksAtOnceUnlessTheServerIsSerial) {
  for (const uint32_t flags : {HV_IPC_SERVER_DEFAULT_FLAGS, HV_IPC_SERVER_DEFAULT_FLAGS & ~HV_IPC_SERVER_CONCURRENT}) {
    SCOPED_TRACE(testing::Message() << "flags " << flags);
    ScopedIpcDir dir;
    constexpr int kRequests = 6;
    std::mutex mu;
    std::condition_variable cv;
    int running = 0, most = 0;
    TestServer server(
        [&](uint32_t, std::string_view bytes, HvIpcMessage* m) {
          std::unique_lock lock(mu);
          most = std::max(most, ++running);
          cv.notify_all();
          // Concurrent: everybody waits until all are inside. Serial: this
          // wait simply times out, one callback after the other.
          cv.wait_for(lock, (flags & HV_IPC_SERVER_CONCURRENT) ? 10s : 20ms, [&] { return most >= kRequests; });
          --running;
          lock.unlock();
          return TestServer::Echo(1, bytes, m);
        },
        flags, kRequests);
    ASSERT_EQ(server.result(), HV_IPC_OK);
    TestClient client;  // one connection, requests pipelined on it
    ASSERT_EQ(client.result(), HV_IPC_OK);
    std::vector<std::future<std::pair<uint32_t, std::string>>> answers;
    for (int i = 0; i < kRequests; ++i) {
      answers.push_back(std::async(std::launch::async, [&, i] {
        std::string response;
        const uint32_t rc = client.Request(1, "request " + std::to_string(i), &response);
        return std::make_pair(rc, response);
      }));
    }
    for (int i = 0; i < kRequests; ++i) {
      auto [rc, response] = answers[i].get();
      EXPECT_EQ(rc, HV_IPC_OK);
      EXPECT_EQ(response, "request " + std::to_string(i));
    }
    EXPECT_EQ(most, (flags & HV_IPC_SERVER_CONCURRENT) ? kRequests : 1);
  }
}

TEST(IpcExchange, TimedOutRequestDoesNotReceiveSomeoneElsesAnswer) {
  ScopedIpcDir dir;
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    if (bytes == "slow") open.wait_for(10s);
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  std::string response = "untouched";
  EXPECT_EQ(client.Request(1, "slow", &response, 50), static_cast<uint32_t>(HV_IPC_TIMEOUT));
  EXPECT_EQ(response, "");
  gate.set_value();  // the late answer arrives now and must be dropped
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(client.Request(1, "fast" + std::to_string(i), &response), HV_IPC_OK);
    EXPECT_EQ(response, "fast" + std::to_string(i));
  }
}

TEST(IpcExchange, AnswerToAClientThatLeftIsDroppedQuietly) {
  ScopedIpcDir dir;
  std::promise<void> gate, entered, answered;
  std::shared_future<void> open = gate.get_future().share();
  std::atomic<uint32_t> set_result{HV_IPC_ERROR};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) -> uint32_t {
    if (bytes != "leave") return TestServer::Echo(kind, bytes, m);
    entered.set_value();
    open.wait_for(10s);
    // The handle stays usable although its client is gone.
    EXPECT_NE(std::string(HvIPC_MessageGetSenderChannel(m)), "");
    set_result = HvIPC_MessageSetResponse(m, reinterpret_cast<const uint8_t*>("late"), 4);
    answered.set_value();
    return 0;
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient leaving;
  ASSERT_EQ(leaving.result(), HV_IPC_OK);
  std::thread requester([&] {
    std::string response;
    EXPECT_EQ(leaving.Request(1, "leave", &response), static_cast<uint32_t>(HV_IPC_DISCONNECTED));
  });
  entered.get_future().wait();
  // Closing while the request waits makes it fail at once.
  leaving.Close();
  requester.join();
  gate.set_value();
  answered.get_future().wait();
  EXPECT_EQ(set_result.load(), static_cast<uint32_t>(HV_IPC_OK));
  TestClient other;
  ASSERT_EQ(other.result(), HV_IPC_OK);
  std::string response;
  EXPECT_EQ(other.Request(1, "still serving", &response), HV_IPC_OK);
  EXPECT_EQ(response, "still serving");
}

TEST(IpcExchange, NotificationsReachTheChannelInOrderAndBadSendsAreRefused) {
  ScopedIpcDir dir;
  TestServer server;
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient a, b;
  ASSERT_EQ(a.result(), HV_IPC_OK);
  ASSERT_EQ(b.result(), HV_IPC_OK);
  const HvIpcSendOptions wait = Options(2000, 1), queue = Options(2000, 0);
  EXPECT_EQ(Send(a.channel(), "one", &wait), HV_IPC_OK);
  EXPECT_EQ(Send(a.channel(), std::string("t\0o", 3), &queue), HV_IPC_OK);
  EXPECT_EQ(Send(a.channel(), "", nullptr, kIdentity, 9), HV_IPC_OK);  // default options
  EXPECT_EQ(Send(b.channel(), "for b", &wait), HV_IPC_OK);
  const auto notes = a.WaitForNotifications(3);
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0], std::make_pair(1u, std::string("one")));
  EXPECT_EQ(notes[1], std::make_pair(1u, std::string("t\0o", 3)));
  EXPECT_EQ(notes[2], std::make_pair(9u, std::string()));
  EXPECT_EQ(b.WaitForNotifications(1).at(0).second, "for b");

  HvIpcSendOptions short_record = Options(2000);
  short_record.size = 4;
  const uint8_t byte = 0;
  const std::string ch = a.channel();
  const struct {
    const char* name;
    uint32_t result, expected;
  } refused[] = {
      {"unknown channel", Send("no-such-channel", "x", &wait), HV_IPC_NOT_FOUND},
      {"other identity", Send(ch, "x", &wait, "other_identity"), HV_IPC_NOT_FOUND},
      {"frame kind 2", HvIPC_Send(kIdentity, ch.c_str(), 2, 1, &byte, 1, nullptr, &wait), HV_IPC_INVALID_PARAMETER},
      {"reply wanted", HvIPC_Send(kIdentity, ch.c_str(), 3, 1, &byte, 1, &short_record, &wait),
       HV_IPC_INVALID_PARAMETER},
      {"kind 0", Send(ch, "x", &wait, kIdentity, 0), HV_IPC_INVALID_PARAMETER},
      {"null channel", HvIPC_Send(kIdentity, nullptr, 3, 1, &byte, 1, nullptr, &wait), HV_IPC_INVALID_PARAMETER},
      {"null bytes", HvIPC_Send(kIdentity, ch.c_str(), 3, 1, nullptr, 1, nullptr, &wait), HV_IPC_INVALID_PARAMETER},
      {"options too short", Send(ch, "x", &short_record), HV_IPC_INVALID_PARAMETER},
      {"too large", HvIPC_Send(kIdentity, ch.c_str(), 3, 1, &byte, HV_IPC_MAX_FRAME_BODY, nullptr, &wait),
       HV_IPC_TOO_LARGE},
  };
  for (const auto& r : refused) EXPECT_EQ(r.result, r.expected) << r.name;
  EXPECT_EQ(a.WaitForNotifications(3).size(), 3u) << "a refused send arrived";
  a.Close();
  EXPECT_TRUE(ChannelGone(ch));
}

TEST(IpcExchange, ClientThatDoesNotReadOnlyDelaysSendsToItself) {
  ScopedIpcDir dir;
  TestServer server;
  ASSERT_EQ(server.result(), HV_IPC_OK);
  RawSocket stuck(dir.SocketPath());
  ASSERT_TRUE(stuck.connected());
  const std::string stuck_channel = stuck.ReadHello();
  ASSERT_FALSE(stuck_channel.empty());
  TestClient healthy;
  ASSERT_EQ(healthy.result(), HV_IPC_OK);

  // Fill the socket and the queue of the client that never reads.
  const std::string chunk(64 * 1024, 'n');
  const HvIpcSendOptions patient = Options(100, 1);
  uint32_t rc = HV_IPC_OK;
  int delivered = 0;
  while (rc == HV_IPC_OK && delivered < 1000) {
    rc = Send(stuck_channel, chunk, &patient);
    if (rc == HV_IPC_OK) ++delivered;
  }
  EXPECT_EQ(rc, static_cast<uint32_t>(HV_IPC_TIMEOUT));
  EXPECT_GT(delivered, 0);

  // Queued-only sends fill the bounded queue and then time out as well;
  // without waiting at all the answer comes at once.
  const HvIpcSendOptions queued = Options(50, 0), no_wait = Options(0, 1);
  rc = HV_IPC_OK;
  for (int i = 0; i < 1000 && rc == HV_IPC_OK; ++i) rc = Send(stuck_channel, chunk, &queued);
  EXPECT_EQ(rc, static_cast<uint32_t>(HV_IPC_TIMEOUT));
  EXPECT_EQ(Send(stuck_channel, "x", &no_wait), static_cast<uint32_t>(HV_IPC_TIMEOUT));

  // Meanwhile everybody else is served.
  std::string response;
  EXPECT_EQ(healthy.Request(1, "fine", &response), HV_IPC_OK);
  EXPECT_EQ(response, "fine");
  EXPECT_EQ(Send(healthy.channel(), "note", &patient), HV_IPC_OK);
  EXPECT_EQ(healthy.WaitForNotifications(1).at(0).second, "note");

  // The slow channel was kept: once it reads, every frame it gets is whole
  // and a new send goes through.
  std::atomic<bool> reading{true};
  std::thread drain([&] {
    uint8_t kind;
    std::string body;
    while (reading && stuck.ReadFrame(&kind, &body, 2000)) {
      EXPECT_EQ(kind, HV_IPC_FRAME_NOTIFICATION);
      EXPECT_TRUE(body.size() == 4 + chunk.size() || body == U32(1) + "last") << body.size();
      if (body == U32(1) + "last") break;
    }
  });
  const HvIpcSendOptions generous = Options(10000, 1);
  EXPECT_EQ(Send(stuck_channel, "last", &generous), HV_IPC_OK);
  drain.join();
  reading = false;
}

TEST(IpcExchange, StopWaitsForRunningCallbacksAndStartsNoMore) {
  ScopedIpcDir dir;
  std::atomic<int> started{0}, finished{0};
  std::promise<void> entered;
  TestServer server(
      [&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
        if (started++ == 0) entered.set_value();
        std::this_thread::sleep_for(200ms);
        ++finished;
        return TestServer::Echo(kind, bytes, m);
      },
      HV_IPC_SERVER_DEFAULT_FLAGS, 1);  // one thread: the rest waits in the queue
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  std::vector<std::thread> requesters;
  std::atomic<int> disconnected{0};
  for (int i = 0; i < 4; ++i) {
    requesters.emplace_back([&] {
      std::string response;
      if (client.Request(1, "x", &response) == HV_IPC_DISCONNECTED) ++disconnected;
    });
  }
  entered.get_future().wait();
  EXPECT_EQ(server.Stop(), HV_IPC_OK);
  const int started_at_stop = started.load();
  EXPECT_EQ(finished.load(), started_at_stop);  // nothing runs any more
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(started.load(), started_at_stop);   // and nothing started later
  for (auto& t : requesters) t.join();
  EXPECT_GE(disconnected.load(), 3);
  // The socket is gone and a client now finds no server.
  EXPECT_FALSE(std::filesystem::exists(dir.SocketPath()));
  TestClient late;
  EXPECT_EQ(late.result(), static_cast<uint32_t>(HV_IPC_NOT_FOUND));
}

TEST(IpcExchange, StopReleasesACallbackWaitingToNotifyASlowClient) {
  ScopedIpcDir dir;
  std::string stuck_channel;
  std::promise<void> sending;
  std::atomic<uint32_t> last_send{HV_IPC_OK};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    // Floods the client that never reads, waiting up to a minute per frame.
    const std::string chunk(64 * 1024, 's');
    const HvIpcSendOptions minute = Options(60000, 1);
    bool told = false;
    uint32_t rc = HV_IPC_OK;
    while (rc == HV_IPC_OK) {
      if (!told) {
        sending.set_value();
        told = true;
      }
      rc = Send(stuck_channel, chunk, &minute);
    }
    last_send = rc;
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  RawSocket stuck(dir.SocketPath());
  stuck_channel = stuck.ReadHello();
  ASSERT_FALSE(stuck_channel.empty());
  ASSERT_TRUE(stuck.Write(RawFrame(HV_IPC_FRAME_REQUEST, U32(1) + U32(1) + "flood")));
  sending.get_future().wait();
  std::this_thread::sleep_for(50ms);  // let the socket fill up
  EXPECT_EQ(server.Stop(), HV_IPC_OK);
  EXPECT_EQ(last_send.load(), static_cast<uint32_t>(HV_IPC_DISCONNECTED));
}

TEST(IpcExchange, ClientsComingAndGoingWhileNotifiedAndStopped) {
  ScopedIpcDir dir;
  // Requests named "racing-..." hold their callback a little and are noted,
  // so that a client can be closed while one of its requests surely waits.
  std::mutex entered_mu;
  std::condition_variable entered_cv;
  std::set<std::string> entered;
  auto server = std::make_unique<TestServer>([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    if (bytes.rfind("racing-", 0) == 0) {
      {
        std::lock_guard lock(entered_mu);
        entered.insert(std::string(bytes));
      }
      entered_cv.notify_all();
      std::this_thread::sleep_for(20ms);
    }
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server->result(), HV_IPC_OK);
  std::mutex channels_mu;
  std::vector<std::string> channels;
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 6; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < 30 && !done; ++round) {
        TestClient client;
        if (client.result() != HV_IPC_OK) {
          // Only once the server is stopping may a connection fail.
          if (!done) ++unexpected;
          continue;
        }
        {
          std::lock_guard lock(channels_mu);
          channels.push_back(client.channel());
        }
        for (int i = 0; i < 5; ++i) {
          std::string response;
          const std::string payload = std::to_string(t) + "/" + std::to_string(round) + "/" + std::to_string(i);
          const uint32_t rc = client.Request(1, payload, &response, 5000);
          if (rc == HV_IPC_OK ? response != payload : (rc != HV_IPC_DISCONNECTED || !done)) ++unexpected;
        }
        if (round % 3 == 0) {
          // Close while another thread waits for an answer.
          const std::string racing = "racing-" + std::to_string(t) + "-" + std::to_string(round);
          std::thread asker([&] {
            std::string response;
            const uint32_t rc = client.Request(1, racing, &response, 5000);
            if (rc != HV_IPC_OK && rc != HV_IPC_DISCONNECTED) ++unexpected;
          });
          {
            std::unique_lock lock(entered_mu);
            entered_cv.wait_for(lock, 5s, [&] { return entered.count(racing) > 0 || done; });
          }
          client.Close();
          asker.join();
        }
      }
    });
  }
  std::thread notifier([&] {
    const HvIpcSendOptions options = Options(200, 1);
    size_t next = 0;
    while (!done) {
      std::string channel;
      {
        std::lock_guard lock(channels_mu);
        if (!channels.empty()) channel = channels[next++ % channels.size()];
      }
      if (channel.empty()) continue;
      const uint32_t rc = Send(channel, "tick", &options);
      if (rc != HV_IPC_OK && rc != HV_IPC_NOT_FOUND && rc != HV_IPC_DISCONNECTED && rc != HV_IPC_TIMEOUT) ++unexpected;
    }
  });
  std::this_thread::sleep_for(300ms);
  done = true;
  server.reset();  // stops while clients and the notifier are busy
  for (auto& w : workers) w.join();
  notifier.join();
  EXPECT_EQ(unexpected.load(), 0);
}

TEST(IpcExchange, StopFromInsideACallbackIsRefused) {
  ScopedIpcDir dir;
  HvIpcServer* handle = nullptr;
  std::atomic<uint32_t> stop_result{HV_IPC_OK};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    stop_result = HvIPC_StopServer(handle);
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  handle = server.handle();
  TestClient client;
  std::string response;
  ASSERT_EQ(client.Request(1, "stop yourself", &response), HV_IPC_OK);
  EXPECT_EQ(stop_result.load(), static_cast<uint32_t>(HV_IPC_WRONG_THREAD));
  EXPECT_EQ(client.Request(1, "still here", &response), HV_IPC_OK);
  EXPECT_EQ(HvIPC_StopServer(nullptr), static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
}

TEST(IpcExchange, NotificationCallbackMayCloseItsClientButNotWaitForARequest) {
  ScopedIpcDir dir;
  TestServer server;
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  std::promise<uint32_t> request_result;
  std::promise<void> closed;
  client.on_notification = [&](uint32_t kind) {
    if (kind == 1) {
      std::string response;
      request_result.set_value(client.Request(1, "from the callback", &response));
    } else if (kind == 2) {
      client.Close();  // finishes after this callback returns
      closed.set_value();
    }
  };
  const HvIpcSendOptions wait = Options(2000);
  ASSERT_EQ(Send(client.channel(), "a", &wait, kIdentity, 1), HV_IPC_OK);
  EXPECT_EQ(request_result.get_future().get(), static_cast<uint32_t>(HV_IPC_WRONG_THREAD));
  const std::string channel = client.channel();
  ASSERT_EQ(Send(channel, "b", &wait, kIdentity, 2), HV_IPC_OK);
  closed.get_future().wait();
  EXPECT_TRUE(ChannelGone(channel));
}

TEST(IpcExchange, ClientArgumentsAreChecked) {
  ScopedIpcDir dir;
  HvIpcClient* client = reinterpret_cast<HvIpcClient*>(0x1);
  EXPECT_EQ(HvIPC_ClientConnect(&client, kIdentity, kService, 100, nullptr, nullptr),
            static_cast<uint32_t>(HV_IPC_NOT_FOUND));
  EXPECT_EQ(client, nullptr);
  for (const char* bad : {"", ".x", "a/b", "..", "with space", "x\xc3\xa9"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(HvIPC_ClientConnect(&client, bad, kService, 100, nullptr, nullptr),
              static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
    EXPECT_EQ(HvIPC_ClientConnect(&client, kIdentity, bad, 100, nullptr, nullptr),
              static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
  }
  EXPECT_EQ(HvIPC_ClientConnect(nullptr, kIdentity, kService, 100, nullptr, nullptr),
            static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
  TestServer server;
  ASSERT_EQ(server.result(), HV_IPC_OK);
  TestClient ok;
  ASSERT_EQ(ok.result(), HV_IPC_OK);
  uint8_t* response = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(HvIPC_ClientRequest(nullptr, 1, nullptr, 0, 100, &response, &count),
            static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
  EXPECT_EQ(HvIPC_ClientRequest(ok.handle(), 1, nullptr, 3, 100, &response, &count),
            static_cast<uint32_t>(HV_IPC_INVALID_PARAMETER));
  const uint8_t byte = 0;
  EXPECT_EQ(HvIPC_ClientRequest(ok.handle(), 1, &byte, HV_IPC_MAX_REQUEST_PAYLOAD + 1, 100, &response, &count),
            static_cast<uint32_t>(HV_IPC_TOO_LARGE));
  // An empty answer is a null buffer.
  EXPECT_EQ(HvIPC_ClientRequest(ok.handle(), 1, nullptr, 0, 1000, &response, &count), HV_IPC_OK);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(HvIPC_ClientGetChannel(nullptr), "");
  HvIPC_ClientClose(nullptr);
}

}  // namespace
