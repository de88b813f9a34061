// The session's driver thread against raw loopback servers: cancellation, the
// stop event, closing with transfers in flight, time-outs and broken answers.
// (Proxy authentication: the service only sends HTTPS, through a real proxy in
// integration/http_transport_test.)
#include "server/http_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "platform/manual_reset_event.h"
#include "server/http_request.h"
#include "support/test_tls.h"

namespace {

using testing_support::RawTcpServer;
using namespace std::chrono_literals;

// One request head from `fd`.
std::string ReadRequest(int fd) {
  std::string data;
  char buffer[4096];
  while (data.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

// A plain request to `port` whose completion counts its calls and sets
// `done`. The request is the last member: its destructor waits for the
// completion, which uses the others.
struct Started {
  std::atomic<int> calls{0};
  platform::ManualResetEvent done;
  std::unique_ptr<HttpRequest> request;

  Started(HttpSession& session, int port, uint32_t receive_timeout_ms = 60000) {
    request = HttpRequest::Create(session);
    request->SetServer("127.0.0.1", static_cast<uint16_t>(port), false);
    request->SetPath("/x");
    request->SetTimeouts(60000, 60000, receive_timeout_ms);
    request->Start([this](HttpRequest&) {
      calls++;
      done.Set();
    });
  }
};

TEST(HttpSession, CancelTheStopEventAndCloseEndRequestsThatAreNeverAnswered) {
  RawTcpServer silent([](int fd, int) { ReadRequest(fd); });
  platform::ManualResetEvent stop;
  auto session = HttpSession::OpenSession("test", &stop);
  ASSERT_TRUE(session);
  Started cancelled(*session, silent.port());
  EXPECT_FALSE(cancelled.done.Wait(100ms));
  cancelled.request->Cancel();
  ASSERT_TRUE(cancelled.done.Wait(10s));
  EXPECT_EQ(cancelled.request->GetResult(), HttpResult::Cancelled);
  EXPECT_EQ(cancelled.request->GetErrorText(), "AsyncGeneric failed: 12017");
  cancelled.request->Cancel();  // after the end: nothing happens

  Started stopped(*session, silent.port());
  EXPECT_FALSE(stopped.done.Wait(100ms));
  stop.Set();
  ASSERT_TRUE(stopped.done.Wait(10s));
  EXPECT_EQ(stopped.request->GetResult(), HttpResult::Cancelled);
  Started during_stop(*session, silent.port());  // the stop event stays set: ends at once
  ASSERT_TRUE(during_stop.done.Wait(10s));
  EXPECT_EQ(during_stop.request->GetError(), http_error::kOperationCancelled);
  stop.Reset();
  Started after_reset(*session, silent.port(), 200);
  ASSERT_TRUE(after_reset.done.Wait(10s));
  EXPECT_EQ(after_reset.request->GetResult(), HttpResult::TimedOut);
  EXPECT_EQ(after_reset.request->GetErrorText(), "AsyncReceiveResponse failed: 12002");

  // Closing completes every transfer still in flight before it returns.
  RawTcpServer quiet([](int fd, int) { ReadRequest(fd); });
  std::vector<std::unique_ptr<Started>> in_flight;
  for (int i = 0; i < 5; ++i) in_flight.push_back(std::make_unique<Started>(*session, quiet.port()));
  while (quiet.connections() < 5) std::this_thread::sleep_for(1ms);
  session->CloseSession();
  for (auto& s : in_flight) {
    EXPECT_EQ(s->calls.load(), 1);
    EXPECT_EQ(s->request->GetError(), http_error::kShutdown);
    EXPECT_EQ(s->request->GetResult(), HttpResult::Cancelled);
  }
  session->CloseSession();
  for (Started* s : {&cancelled, &stopped, &during_stop, &after_reset}) EXPECT_EQ(s->calls.load(), 1);
}

TEST(HttpSession, DestroyingARunningRequestWaitsForItsCompletion) {
  RawTcpServer silent([](int fd, int) { ReadRequest(fd); });
  auto session = HttpSession::OpenSession("test");
  std::atomic<int> calls{0};
  for (int i = 0; i < 20; ++i) {
    auto request = HttpRequest::Create(*session);
    request->SetServer("127.0.0.1", static_cast<uint16_t>(silent.port()), false);
    request->Start([&calls](HttpRequest&) {
      std::this_thread::sleep_for(1ms);  // still running when the destructor starts waiting
      calls++;
    });
    if (i % 2) std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(calls.load(), 20);
}

TEST(HttpSession, BrokenAnswersFailWithTheStepThatBroke) {
  const std::string mid_body = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789";
  const struct {
    std::string answer;  // sent after the request head
    bool close;          // then the connection is shut down
    HttpResult result;
    const char* text;
  } cases[] = {
      {"", true, HttpResult::Failed, "AsyncReceiveResponse failed: 12030"},
      {"garbage garbage\r\n\r\n", true, HttpResult::Failed, "AsyncReceiveResponse failed: 12152"},
      {mid_body, true, HttpResult::Failed, "AsyncReadData failed: 12030"},
      {mid_body, false, HttpResult::TimedOut, "AsyncReadData failed: 12002"},
  };
  auto session = HttpSession::OpenSession("test");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RawTcpServer server([&](int fd, int) {
      ReadRequest(fd);
      ::send(fd, c.answer.data(), c.answer.size(), MSG_NOSIGNAL);
      if (c.close) ::shutdown(fd, SHUT_RDWR);
    });
    Started s(*session, server.port(), 300);
    ASSERT_TRUE(s.done.Wait(10s));
    EXPECT_EQ(s.request->GetResult(), c.result);
    EXPECT_EQ(s.request->GetErrorText(), c.text);
  }
}

}  // namespace
