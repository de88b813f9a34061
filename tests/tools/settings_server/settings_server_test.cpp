// The real velder-settings-server over real HTTPS (an HTTPS client trusting the
// certificate the server generated), administered with its own admin command.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
using testing_support::ChildProcess;
using namespace std::chrono_literals;

const std::string kProductPath = "/velder/client-api/v3/clients/me/products/";
const json kSchema = json::parse(R"({"app":{"type":"object","properties":{
  "level":{"type":"integer","minimum":0,"maximum":10,"default":1},
  "name":{"type":"string"},"sub":{"type":"object","properties":{"x":{"type":"integer"},"y":{"type":"integer"}}}}}})");

struct Reply {
  httplib::Error error = httplib::Error::Success;
  int status = 0;  // 0: no answer came
  std::string body, etag;
};

httplib::Client Https(const std::string& url, const std::string& caFile) {
  httplib::Client client(url);
  client.set_ca_cert_path(caFile.c_str());
  client.enable_server_certificate_verification(true);
  client.set_read_timeout(30);
  return client;
}

class SettingsServerTest : public ::testing::Test {
 protected:
  // The server, a product "tarn" and a machine "lab1" whose system account holds a token.
  void SetUp() override {
    server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        testing_support::BuildProgram("velder-settings-server"), "--listen", "127.0.0.1:0", "--admin-listen",
        "127.0.0.1:0", "--data", data(), "--keep-alive", "1"});
    ASSERT_TRUE(server_->WaitForOutput("Administration on ", 30s)) << "the server did not start: " << server_->err();
    url_ = server_->out().substr(server_->out().find("Listening on ") + 13);
    url_.resize(url_.find('\n'));
    Admin({"product", "set-schema", "tarn", kSchema.dump()});
    Admin({"product", "set-values", "tarn", R"({"app":{"level":3,"name":"base"}})"});
    secret_ = Admin({"machine", "add", "lab1"})["enrolment_secret"];
    token_ = Token("S-1-5-18");
  }

  std::string data() const { return dir_.File("data"); }

  // Runs the admin command with --json; the parsed answer (null when none).
  json Admin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {testing_support::BuildProgram("velder-settings-server"), "admin", "--data",
                                         data(), "--json"});
    ChildProcess admin(arguments);
    EXPECT_EQ(admin.Wait(), 0) << admin.err();
    json answer = json::parse(admin.out(), nullptr, false);
    return answer.is_discarded() ? json() : answer;
  }

  std::string Token(const std::string& sid) {
    Reply r = Call("POST", "/velder/auth/v1/token", json{{"enrolment_secret", secret_}, {"sid", sid}}.dump());
    EXPECT_EQ(r.status, 200) << r.body;
    return json::parse(r.body, nullptr, false).value("access_token", "");
  }

  Reply Call(const std::string& method, const std::string& path, const std::string& body = "",
             httplib::Headers headers = {}, const std::string& token = "") {
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    if (!body.empty() && headers.count("Content-Type") == 0) {
      headers.emplace("Content-Type", "application/json; charset=UTF-8");
    }
    httplib::Request request;
    request.method = method;
    request.path = path;
    request.headers = std::move(headers);
    request.body = body;
    const httplib::Result result = Https(url_, data() + "/server-cert.pem").send(request);
    if (!result) return {result.error(), 0, "", ""};
    return {httplib::Error::Success, result->status, result->body, result->get_header_value("ETag")};
  }

  Reply Get(const std::string& token, const std::string& product = "tarn", httplib::Headers headers = {}) {
    headers.emplace("X-Transaction", "test-get");
    return Call("GET", kProductPath + product + "/settings", "", headers, token);
  }
  Reply Patch(const std::string& token, const std::string& etag, const std::string& values, bool returnData = true) {
    return Call("PATCH", kProductPath + "tarn/settings" + (returnData ? "?return-data=true" : ""),
                R"({"values":)" + values + "}", {{"If-Match", etag}}, token);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<ChildProcess> server_;
  std::string url_, secret_, token_;
};

// Reads a push stream on a thread of its own until stopped (the server's
// keep-alive comments come every second, so a stop is seen within one).
class StreamReader {
 public:
  StreamReader(const std::string& url, const std::string& caFile, const std::string& token) {
    thread_ = std::thread([=, this] {
      const httplib::Result result = Https(url, caFile).Get(
          "/velder/push/v1/stream", {{"Authorization", "Bearer " + token}, {"Accept", "text/event-stream"}},
          [this](const char* data, size_t size) {
            std::lock_guard lock(mutex_);
            text_.append(data, size);
            changed_.notify_all();
            return !stop_;
          });
      std::lock_guard lock(mutex_);
      status_ = result ? result->status : 0;
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~StreamReader() {
    stop_ = true;
    thread_.join();
  }
  // True once the stream's text holds `text` after `from`; returns where it ends.
  size_t WaitFor(const std::string& text, size_t from = 0) {
    std::unique_lock lock(mutex_);
    size_t at = std::string::npos;
    changed_.wait_for(lock, 10s, [&] { return (at = text_.find(text, from)) != std::string::npos || ended_; });
    EXPECT_NE(at, std::string::npos) << "missing: " << text << "\nin: " << text_;
    return at == std::string::npos ? text_.size() : at + text.size();
  }
  bool WaitEnded() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return ended_; });
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  int status() {
    std::lock_guard lock(mutex_);
    return status_;
  }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  bool ended_ = false;
  int status_ = 0;
};

TEST_F(SettingsServerTest, ConditionalRequestsMergePatchAndClientIsolation) {
  const std::string& token = token_;
  const std::string other = Token("S-1-22-1-1000");

  Reply first = Get(token);
  ASSERT_EQ(first.status, 200) << first.body;
  EXPECT_EQ(json::parse(first.body),
            (json{{"data", {{"eff_schema", kSchema}, {"values", {{"app", {{"level", 3}, {"name", "base"}}}}}}}}));
  const std::string etag = first.etag;  // its form: client_document_test

  // Refused changes leave the document and its tag as they were.
  EXPECT_EQ(Call("PATCH", kProductPath + "tarn/settings", R"({"values":{}})", {}, token).status, 428);
  Reply invalid = Patch(token, etag, R"({"app":{"level":4,"sub":{"x":"text"}}})");
  EXPECT_EQ(invalid.status, 422);
  EXPECT_EQ(json::parse(invalid.body, nullptr, false)["error"]["path"], "app.sub.x") << invalid.body;
  EXPECT_EQ(Get(token, "tarn", {{"If-None-Match", etag}}).status, 304);

  Reply changed = Patch(token, etag, R"({"app":{"level":5,"sub":{"x":1,"y":2}}})");
  ASSERT_EQ(changed.status, 200) << changed.body;
  EXPECT_EQ(json::parse(changed.body)["data"]["values"]["app"],
            (json{{"level", 5}, {"name", "base"}, {"sub", {{"x", 1}, {"y", 2}}}}));
  EXPECT_NE(changed.etag, etag);
  // Null deletes, nested objects merge, and without return-data the answer is 204.
  Reply merged = Patch(token, changed.etag, R"({"app":{"name":null,"sub":{"x":null}}})", false);
  EXPECT_EQ(merged.status, 204);
  EXPECT_EQ(merged.body, "");
  Reply after = Get(token);
  EXPECT_EQ(after.etag, merged.etag);
  // The client's own "name" is gone, so the product's value shows again.
  EXPECT_EQ(json::parse(after.body)["data"]["values"]["app"],
            (json{{"level", 5}, {"name", "base"}, {"sub", {{"y", 2}}}}));
  // The other user of the machine still has the product's document.
  Reply theirs = Get(other);
  EXPECT_EQ(theirs.etag, etag);

  EXPECT_EQ(Call("PATCH", kProductPath + "tarn/node", R"({"pns_id":"p-123"})", {}, token).status, 204);
  const json clients = Admin({"client", "list"});
  const auto self = std::find_if(clients.begin(), clients.end(), [](const json& c) { return c["sid"] == "S-1-5-18"; });
  ASSERT_NE(self, clients.end());
  EXPECT_EQ((*self)["reported_pns_id"], "p-123");
  EXPECT_EQ((*self)["products"]["tarn"]["etag"], after.etag);
}

TEST_F(SettingsServerTest, BadRequestsGetA4xxAndTheServerCarriesOn) {
  const std::string& token = token_;
  const std::string etag = Get(token).etag;
  const std::string settings = kProductPath + "tarn/settings";
  struct Case {
    const char* what;
    std::string method, path, body, token;
    httplib::Headers headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"no token", "GET", settings, "", "", {}, 401},
      {"unknown token", "GET", settings, "", "nope", {}, 401},
      {"unknown product", "GET", kProductPath + "other/settings", "", token, {}, 404},
      {"traversal", "GET", kProductPath + "..%2F..%2Fetc/settings", "", token, {}, 404},
      {"traversal dots", "GET", kProductPath + "../settings", "", token, {}, 400},
      {"invalid JSON", "PATCH", settings, "{\"values\":", token, {{"If-Match", etag}}, 400},
      {"not a patch", "PATCH", settings, "[1]", token, {{"If-Match", etag}}, 400},
      {"deep nesting", "PATCH", settings, std::string(100000, '['), token, {{"If-Match", etag}}, 400},
      {"content type", "PATCH", settings, "{}", token, {{"If-Match", etag}, {"Content-Type", "text/plain"}}, 415},
      {"100 MiB", "PATCH", settings, std::string(100 << 20, ' '), token, {{"If-Match", etag}}, 413},
      {"node without id", "PATCH", kProductPath + "tarn/node", R"({"pns":1})", token, {}, 400},
      {"token bad SID", "POST", "/velder/auth/v1/token", json{{"enrolment_secret", secret_}, {"sid", "root"}}.dump(), "", {}, 400},
      {"token bad secret", "POST", "/velder/auth/v1/token", R"({"enrolment_secret":"x","sid":"S-1-5-18"})", "", {}, 401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply r = Call(c.method, c.path, c.body, c.headers, c.token);
    EXPECT_EQ(r.status, c.status) << httplib::to_string(r.error) << " " << r.body;
  }
  EXPECT_EQ(Get(token, "tarn", {{"If-None-Match", etag}}).status, 304);

  // A disabled client gets 403 everywhere until it is enabled again.
  Admin({"client", "disable", "lab1", "S-1-5-18"});
  EXPECT_EQ(Get(token).status, 403);
  EXPECT_EQ(Call("POST", "/velder/auth/v1/token", json{{"enrolment_secret", secret_}, {"sid", "S-1-5-18"}}.dump()).status,
            403);
  StreamReader refused(url_, data() + "/server-cert.pem", token);
  refused.WaitEnded();
  EXPECT_EQ(refused.status(), 403);
  Admin({"client", "enable", "lab1", "S-1-5-18"});
  EXPECT_EQ(Get(token).status, 200);
}

TEST_F(SettingsServerTest, PushStreamsDeliverInOrderAndKeepTheirIdAcrossReconnects) {
  const std::string& token = token_;
  ASSERT_EQ(Get(token).status, 200);  // makes the client one of the product's
  std::string pnsId;
  {
    StreamReader stream(url_, data() + "/server-cert.pem", token);
    size_t at = stream.WaitFor("event: pns_id\ndata: ");
    pnsId = stream.text().substr(at, stream.text().find('\n', at) - at);
    Admin({"push", "--client", "lab1", "S-1-5-18", "--type", "velder.node.deleted"});
    Admin({"client", "patch-values", "lab1", "S-1-5-18", "tarn", R"({"app":{"name":"own"}})"});
    at = stream.WaitFor("velder.node.deleted", at);
    at = stream.WaitFor("velder.settings.refresh", at);
    stream.WaitFor(": keep-alive\n\n", at);
    // A change that leaves the document as it was publishes nothing.
    Admin({"product", "patch-values", "tarn", R"({"app":{"level":3}})"});
    EXPECT_EQ(stream.text().find("velder.settings.refresh", at), std::string::npos);
  }
  StreamReader again(url_, data() + "/server-cert.pem", token);
  again.WaitFor("event: pns_id\ndata: " + pnsId + "\n\n");
  EXPECT_EQ(json::parse(Get(token).body)["data"]["values"]["app"]["name"], "own");

  // SIGTERM ends the open stream and stops cleanly.
  server_->Signal(SIGTERM);
  EXPECT_TRUE(again.WaitEnded());
  EXPECT_EQ(server_->Wait(), 0) << server_->err();
  EXPECT_NE(server_->out().find("Stopped."), std::string::npos);
  // Every request left its access-log line with the transaction id.
  EXPECT_NE(server_->err().find("GET /velder/client-api/v3/clients/me/products/tarn/settings 200"), std::string::npos);
  EXPECT_NE(server_->err().find("txid=test-get"), std::string::npos);
}

// What the host makes of every other fault kind, and that each ends after its
// one request, is integration/server_sync_test's; the counts, scopes and time
// spans are the injector's unit test.
TEST_F(SettingsServerTest, ADropFaultClosesTheConnectionWithoutAnAnswer) {
  Admin({"fault", "add", "drop"});
  EXPECT_EQ(Get(token_).error, httplib::Error::Read);
  EXPECT_EQ(Get(token_).status, 200);
}

}  // namespace
