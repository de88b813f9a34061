// The HTTP client against a real HTTPS server on 127.0.0.1 (certificates made
// by the test) and a real tinyproxy with basic authentication: round trips,
// limits, pinning checked inside the handshake, proxies and their failover
// through the real proxy resolver library.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <thread>

#include "platform/manual_reset_event.h"
#include "platform/sqlite_registry.h"
#include "server/http_request.h"
#include "server/http_session.h"
#include "server/ky_cert_verifier.h"
#include "server/proxy_resolver.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TestCertificate;
using testing_support::TlsTestServer;

// A tinyproxy on a free loopback port that asks for `user`/`password`.
class Tinyproxy {
 public:
  Tinyproxy(const std::string& dir, const std::string& user, const std::string& password)
      : port_(testing_support::FreePort()) {
    const std::string config = dir + "/tinyproxy.conf";
    std::ofstream(config) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                          << "BasicAuth " << user << " " << password << "\nLogFile \"" << dir
                          << "/tinyproxy.log\"\nLogLevel Info\nDisableViaHeader Yes\n";
    process_ = std::make_unique<testing_support::ChildProcess>(
        std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", config});
    // Up once it answers at all (407: it wants the credentials).
    for (int i = 0; i < 500 && !httplib::Client("127.0.0.1", port_).Get("/"); ++i) std::this_thread::sleep_for(10ms);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  std::unique_ptr<testing_support::ChildProcess> process_;
};

class HttpTransport : public testing::Test {
 protected:
  HttpTransport()
      : ca_(TestCertificate::Make("Velder Test CA", nullptr)),
        // 0.0.0.0 reaches this machine without being a loopback address, so a
        // proxy is not bypassed for it.
        leaf_(TestCertificate::Make("localhost", &ca_, "DNS:localhost,IP:127.0.0.1,IP:0.0.0.0")),
        server_(leaf_) {
    env_.Set("HALVERN_REGISTRY_DIR", dir_.path().string() + "/registry");
    env_.Set("HALVERN_LIB_DIR", (testing_support::BuildDir() / "lib").string());
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.Unset(name);
    }
    ca_.WritePem(dir_.path().string() + "/ca.pem");
    registry_.CreateKeyPath(KyCertVerifier::kVelderKey);
    registry_.SetString(KyCertVerifier::kVelderKey, KyCertVerifier::kCaFileValue, dir_.path().string() + "/ca.pem");
    registry_.CreateKeyPath(KyCertVerifier::CertificatesKey());

    auto& http = server_.http();
    http.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("ETag", "\"v1\"");
      res.set_content("hello", "text/plain");
    });
    http.Patch("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.get_header_value("X-Transaction") + "|" + req.body, "application/json");
    });
    http.Get("/size/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(std::string(std::stoul(req.matches[1]), 'a'), "text/plain");
    });
    http.Get("/binary", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string("ok\0\x01", 4), "application/octet-stream");
    });
    server_.Start();
    session_ = HttpSession::OpenSession("velder-test/1.0");
  }

  std::unique_ptr<HttpRequest> NewRequest(const std::string& path, const std::string& host = "127.0.0.1",
                                          int port = 0) {
    auto request = HttpRequest::Create(*session_);
    request->SetServer(host, static_cast<uint16_t>(port ? port : server_.port()), true);
    request->SetPath(path);
    request->AddTransactionId();
    verifier_.PrepareRequest(*request);
    return request;
  }

  static void Run(HttpRequest& request) {
    platform::ManualResetEvent done;
    request.Start([&done](HttpRequest&) { done.Set(); });
    ASSERT_TRUE(done.Wait(20s));
    request.WaitForCompletion();
  }

  void Pin(int n, const std::vector<uint8_t>& der) {
    registry_.SetBinary(KyCertVerifier::CertificatesKey(), "certificate" + std::to_string(n), der);
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_;
  SqliteRegistry registry_{dir_.path().string() + "/registry"};
  TestCertificate ca_, leaf_;
  TlsTestServer server_;
  std::unique_ptr<HttpSession> session_;
  KyCertVerifier verifier_;
};

// Which statuses are a success, and that the tag is read from the header, the
// server sync tests pin against the real settings server (200, 304, 401 to 503).
TEST_F(HttpTransport, RoundTripsReadHeadersAndBodies) {
  const struct {
    const char* path;
    bool text;
    std::string body, etag;
  } cases[] = {{"/hello", true, "hello", "\"v1\""}, {"/binary", false, "", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto request = NewRequest(c.path);
    Run(*request);
    EXPECT_EQ(request->GetResult(), HttpResult::Ok);
    std::string text = "stale";
    EXPECT_EQ(request->GetBodyText(text), c.text);
    EXPECT_EQ(text, c.body);
    EXPECT_EQ(request->GetHeader("ETag"), c.etag);
    EXPECT_EQ(request->GetHeader("etag"), "");
  }

  auto patch = NewRequest("/echo");
  patch->SetMethod(HttpMethod::Patch);
  patch->SetBody(R"({"values":{"a":1}})");
  Run(*patch);
  std::string text;
  ASSERT_TRUE(patch->GetBodyText(text));
  EXPECT_EQ(text, patch->GetTransactionId() + R"(|{"values":{"a":1}})");
}

TEST_F(HttpTransport, BodyLimit) {
  for (const int size : {1000, 1001}) {
    auto request = NewRequest("/size/" + std::to_string(size));
    request->SetMaxResponseSize(1000);
    Run(*request);
    EXPECT_EQ(request->GetResult(), size == 1000 ? HttpResult::Ok : HttpResult::Failed);
    EXPECT_EQ(request->GetError(), size == 1000 ? 0u : http_error::kNotEnoughMemory);
    EXPECT_EQ(request->GetBody().size(), size == 1000 ? 1000u : 0u);
  }
}

TEST_F(HttpTransport, UnpinnedRequestsNeedATrustedValidCertificateForTheName) {
  auto by_name = NewRequest("/hello", "localhost");
  Run(*by_name);
  EXPECT_EQ(by_name->GetResult(), HttpResult::Ok);

  registry_.DeleteValue(KyCertVerifier::kVelderKey, KyCertVerifier::kCaFileValue);
  auto untrusted = NewRequest("/hello");
  Run(*untrusted);
  EXPECT_EQ(untrusted->GetResult(), HttpResult::SecureFailure);
  EXPECT_EQ(untrusted->GetSecureFailureFlags(), http_error::kSecureFlagInvalidCa);
  EXPECT_EQ(untrusted->GetErrorFunction(), "AsyncSendRequest");
}

TEST_F(HttpTransport, APinAcceptsExactlyItsLeafAndIsCheckedBeforeTheRequestLeaves) {
  const TestCertificate expired = TestCertificate::Make("other.example", &ca_, "DNS:other.example", -7200, -3600);
  TlsTestServer expired_server(expired);
  expired_server.http().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("x", "text/plain");
  });
  const int expired_port = expired_server.Start();

  // Unpinned, the expired certificate is refused; pinned, it is the only one accepted.
  auto unpinned = NewRequest("/hello", "127.0.0.1", expired_port);
  Run(*unpinned);
  EXPECT_EQ(unpinned->GetResult(), HttpResult::SecureFailure);
  EXPECT_EQ(unpinned->GetSecureFailureFlags(), http_error::kSecureFlagCertDateInvalid);

  Pin(1, expired.Der());
  auto pinned = NewRequest("/hello", "127.0.0.1", expired_port);
  Run(*pinned);
  EXPECT_EQ(pinned->GetResult(), HttpResult::Ok);

  // The other server's leaf is not pinned: no byte of the request reaches it.
  auto refused = NewRequest("/hello");
  refused->AddHeader("Authorization", "Bearer secret");
  Run(*refused);
  EXPECT_EQ(refused->GetResult(), HttpResult::SecureFailure);
  EXPECT_EQ(refused->GetErrorText(),
            "CertVerifierCallback SSL fail: 12175 [0x00000000] - txid: " + refused->GetTransactionId());
  EXPECT_EQ(refused->GetSendCount(), 1u);
  EXPECT_TRUE(server_.log().empty());

  // Changed pins count from the next request on, kept connections or not;
  // a gap ends the list, so certificate3 is never read.
  Pin(2, leaf_.Der());
  for (int i = 0; i < 2; ++i) {
    auto now_pinned = NewRequest("/hello");
    Run(*now_pinned);
    EXPECT_EQ(now_pinned->GetResult(), HttpResult::Ok);
  }
  Pin(3, leaf_.Der());
  registry_.DeleteValue(KyCertVerifier::CertificatesKey(), "certificate2");
  auto pinned_elsewhere = NewRequest("/hello");
  Run(*pinned_elsewhere);
  EXPECT_EQ(pinned_elsewhere->GetResult(), HttpResult::SecureFailure);
  EXPECT_EQ(server_.log().size(), 2u);
}

TEST_F(HttpTransport, AFailedHandshakeIsSentThreeTimes) {
  testing_support::RawTcpServer dropper([](int fd, int) { ::shutdown(fd, SHUT_RDWR); });
  auto request = NewRequest("/hello", "127.0.0.1", dropper.port());
  Run(*request);
  EXPECT_EQ(request->GetErrorText(), "AsyncSendRequest SSL fail: 12175 [0x80000000] - txid: " + request->GetTransactionId());
  EXPECT_EQ(request->GetSendCount(), 3u);
  EXPECT_EQ(dropper.connections(), 3);
}

TEST_F(HttpTransport, ProxyCredentialsAreSentOnlyAfterTheProxyAsks) {
  Tinyproxy proxy(dir_.path().string(), "alice", "s3cret");
  const struct {
    const char* credentials;
    HttpResult result;
    uint32_t status;
    uint32_t scheme;
  } cases[] = {
      {"alice:s3cret@", HttpResult::Ok, 200, HttpRequest::kAuthBasic},
      {"alice:wrong@", HttpResult::HttpError, 401, HttpRequest::kAuthBasic},  // tinyproxy's refusal
      {"", HttpResult::HttpError, 407, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.credentials);
    auto request = NewRequest("/hello", "0.0.0.0");
    request->SetProxy(std::string("http://") + c.credentials + proxy.address(), "");
    Run(*request);
    EXPECT_EQ(request->GetResult(), c.result);
    EXPECT_EQ(request->GetStatus(), c.status);
    // A scheme is chosen only in answer to a 407.
    EXPECT_EQ(request->auth_scheme(), c.scheme);
  }

  // Loopback servers bypass the proxy.
  auto local = NewRequest("/hello");
  local->SetProxy("127.0.0.1:1", "");
  Run(*local);
  EXPECT_EQ(local->GetResult(), HttpResult::Ok);
}

TEST_F(HttpTransport, TheResolverMovesFromADeadProxyToAWorkingOneAndThenDirect) {
  Tinyproxy proxy(dir_.path().string(), "alice", "s3cret");
  const std::string dead = "127.0.0.1:" + std::to_string(testing_support::FreePort());
  registry_.CreateKeyPath("SOFTWARE\\Halvern\\QOR\\Proxy");
  registry_.SetMultiString("SOFTWARE\\Halvern\\QOR\\Proxy", "Servers",
                           {dead, "http://alice:s3cret@" + proxy.address()});
  ProxyResolver resolver("velder-test");

  auto through = [&](const std::string& expected_proxy) {
    std::string text;
    resolver.GetProxy(text, "0.0.0.0");
    EXPECT_EQ(text, expected_proxy);
    auto request = NewRequest("/hello", "0.0.0.0");
    request->SetProxy(text, "");
    Run(*request);
    return request->GetResult();
  };
  bool exhausted = true;
  EXPECT_EQ(through(dead), HttpResult::Failed);
  EXPECT_TRUE(resolver.ProxyFailed(&exhausted));
  EXPECT_FALSE(exhausted);
  EXPECT_EQ(through("http://alice:s3cret@" + proxy.address()), HttpResult::Ok);
  EXPECT_TRUE(resolver.ProxyFailed(&exhausted));
  EXPECT_TRUE(exhausted);
  EXPECT_EQ(through(""), HttpResult::Ok);  // direct
}

}  // namespace
